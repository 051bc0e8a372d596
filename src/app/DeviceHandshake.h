// Pure rules of the device dialogue over the serial line.
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

} // namespace DeviceHandshake
