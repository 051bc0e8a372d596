// What the program was doing, kept where a crash handler can read it: the connection's state
// in one line and the traffic log's last lines. The GUI thread writes; a crash handler reads
// at any moment, on any thread, without locks or the heap. Each line sits in a fixed slot
// guarded by a sequence number (odd while it is being written), so a reader that meets a
// half-written slot knows it and says so instead of printing a mix of two lines.
#pragma once

#include <QString>
#include <cstddef>

namespace CrashSnapshot {

inline constexpr int TailLines = 50;
inline constexpr int LineBytes = 256;

// The connection's state ("channel=IP; link=connected; ..."); holds no secret.
void SetState(const QString& line);
// The master code as typed: every later log line is kept with it masked. Empty: nothing to mask.
void SetSecret(const QString& code);
// A line of the traffic log as shown, stored with the master code masked.
void AddLogLine(const QString& line);
// Forgets everything (tests).
void Clear();

// Async-signal-safe readers. Each copies into out (at most cap bytes, no terminator) and
// returns the length. ReadState: the newest whole state line; ReadTail(i): the i-th line of
// the tail, oldest first, i < TailCount(). A slot that was being written when read comes out
// as "(line being written)".
std::size_t ReadState(char* out, std::size_t cap);
int TailCount();
std::size_t ReadTail(int i, char* out, std::size_t cap);

} // namespace CrashSnapshot
