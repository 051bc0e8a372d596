// Time stamps for the traffic log and the 32-bit millisecond tick used by every wait.
#pragma once

#include <QString>
#include <QtGlobal>

// "yyyy.mm.dd hh:mm:ss.zzz" of the current local time. Safe on any thread.
QString TimeStamp();

// A 32-bit millisecond tick from a monotonic clock. Elapsed time is always the
// unsigned 32-bit difference of two readings, so waits survive the wrap.
quint32 GetTickCount();

// Real milliseconds to wait for the tick to advance by `ticks` (the clock may be scaled in tests).
int TicksToRealMs(quint32 ticks);

// Test seam: tick = offset + elapsed real ms * scale (mod 2^32). Offset near 0xFFFFFFFF
// tests the wrap; a scale above 1 runs long limits quickly. setTickClockForTest(0, 1) restores.
void SetTickClockForTest(quint32 offset, int scale);
