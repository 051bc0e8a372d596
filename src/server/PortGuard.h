// Keeping the local server's port this user's while nothing listens on it.
//
// Between two listens of one connection (a lost serial port reopened, a LAN connection
// reconnected) the setup program must find the port refusing, not another account's
// program listening there. A socket bound to the port and never listening holds it:
// connects are refused, other accounts cannot bind it. On POSIX the holder and the
// listener share the port through SO_REUSEPORT, which Linux grants only to sockets of the
// same user; on Windows the holder is bound with SO_EXCLUSIVEADDRUSE and becomes the
// listener itself.
//
// One file per platform: PortGuard_posix.cpp, PortGuard_win.cpp.
#pragma once

#include <QHostAddress>
#include <QString>

namespace PortGuard {

constexpr qintptr NoSocket = -1;

// A socket bound to address:port that listens nowhere and keeps the port from other
// accounts; NoSocket when the port cannot be had (*error says why). *noAddress is set when
// the address does not exist on this machine (no IPv6 loopback): nobody can listen there.
qintptr Hold(const QHostAddress& address, quint16 port, QString* error, bool* noAddress);

// A listening socket on address:port while *holder holds it. Where the holder cannot share
// the port (Windows) it becomes the listener and *holder is NoSocket afterwards; the caller
// holds the port again once the listener is closed.
qintptr Listen(const QHostAddress& address, quint16 port, qintptr* holder, int backlog, QString* error);

void Close(qintptr socket);

} // namespace PortGuard
