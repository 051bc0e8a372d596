// Pure rules of the device dialogue over the serial line and the LAN.
#pragma once

#include <QByteArray>

namespace DeviceHandshake {

// One step of an answer wait on the bytes collected so far: the first occurrence of the
// device's echo of our command is removed, then the answer is complete when the
// terminator occurs anywhere in it. Plain case-sensitive byte search.
bool AnswerStep(QByteArray& collected, const QByteArray& echo, const QByteArray& terminator);

// The modem result words that mean the call has ended, in any letter case.
bool ContainsHangupWord(const QByteArray& text);

// The stop-panel pauses: the larger of limit/12 and the floor.
int StopPanelPause(int verInfoWait, int floorMs);

// Most bytes the LAN handshake keeps of what the panel sends meanwhile: a panel that
// streams data during the handshake must not grow memory without end.
constexpr qsizetype MaxLANAnswer = 64 * 1024;

// Appends what the panel sent during the LAN handshake, keeping the first `limit` bytes
// (the version text leads the answer); the rest is dropped.
void CollectLANAnswer(QByteArray& collected, const QByteArray& received, qsizetype limit = MaxLANAnswer);

// The LAN handshake's waits end once "OK" occurs anywhere in the collected answer: no echo
// removal and no line end on this channel.
bool LANAnswerComplete(const QByteArray& collected);

} // namespace DeviceHandshake
