// The Win32 side of an open serial port as the port watch (COMNotifier_win.cpp) and the
// dialer's waits (COMWait_win.cpp) see it. Only COMUtils_win.cpp knows the port itself.
//
// Input is watched by a one-byte overlapped read left pending: its event is set when a byte
// has come (the byte is held for the next ReadCOMData, ahead of what is queued behind it) or
// when the read failed because the port is gone. Output is watched by the event of the one
// write the driver may still be working on.
#pragma once

#include "channels/COMUtils.h"

#include <windows.h>

// The input watch's event, nullptr for a handle that is not an open port.
HANDLE COMInputEvent(COMHandle handle);

// on: keep the watch armed whenever no byte is held, also after every read; the event is
// set at once when input waits already or the port is gone. off: reads no longer re-arm
// it (a read already pending stays; its byte is never lost).
void COMWatchInput(COMHandle handle, bool on);

// Arms the watch once unless it is armed or holds a byte. False when the port is gone; the
// event is then set.
bool COMArmInput(COMHandle handle);

// The port reported itself gone (a read, the watch or the line state failed).
bool COMPortGone(COMHandle handle);

// The write event, nullptr for a handle that is not an open port.
HANDLE COMWriteEvent(COMHandle handle);

// on: the write event is set now when the driver has finished the last write (it is set by
// the driver when it finishes one still under way); the event then stays set until the next
// write starts.
void COMWatchOutput(COMHandle handle, bool on);
