// Whether the far side of a TCP connection reset it (RST) rather than closing it.
//
// Qt reports a reset as a close (RemoteHostClosedError, read() -1), and the system tells the
// two apart only once: the pending error a reset leaves is handed to the next call on the
// socket and then cleared. So the error is asked for before Qt's own call can take it. Bytes
// that arrived before the reset stay readable; the reset is reported after them.
//
// One file per platform: SocketReset_posix.cpp (SO_ERROR reads ECONNRESET),
// SocketReset_win.cpp (SO_ERROR reads WSAECONNRESET).
#pragma once

#include <QtGlobal>

namespace SocketReset {

// True when the socket holds a reset not yet reported; asking clears it. False for an open
// socket, an orderly close and any other error.
bool Pending(qintptr descriptor);

} // namespace SocketReset
