// Whose program a connection to the local server comes from.
//
// The local server listens on the loopback addresses only (127.0.0.1 and ::1), but every
// account on the computer reaches them. Only this user's own programs may talk to the panel through it: an
// accepted connection is looked up in the kernel's socket table and one of another account (root's too) is
// closed before a byte of it is read.
//
// The table rule is shared (PeerOwner.cpp); the platform part is one file per platform:
// PeerOwner_posix.cpp reads /proc/net/tcp and /proc/net/tcp6, PeerOwner_win.cpp the system's TCP
// table (GetExtendedTcpTable) and the owning process's user.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <optional>

namespace PeerOwner {

struct Endpoint {
    QHostAddress address;
    quint16 port = 0;
};

struct Socket {
    quint32 uid = 0;
    // uid is the socket's owner. Not so for what the kernel keeps of a connection whose
    // program has closed it and whose ends have both said goodbye (TIME_WAIT, or FIN_WAIT2
    // kept the same way): such a line shows uid 0 and no inode whoever owned it.
    bool ownerKnown = false;
};

// The socket whose own end is local and whose far end is remote, from the text of
// /proc/net/tcp or /proc/net/tcp6: "sl local rem st tx:rx tr:when retrnsmt uid timeout
// inode ...", addresses as the kernel prints them (each 32-bit word in host order), ports
// in hex. The heading and lines that cannot be read are skipped. An IPv4 address matches
// its IPv4-mapped IPv6 form.
std::optional<Socket> FindSocket(const QByteArray& table, const Endpoint& local, const Endpoint& remote);

enum class Verdict {
    Own,       // this user's program
    Foreign,   // another account's: uid says whose
    Unknown,   // the table has no owner for it (the program has gone, or the socket is not there)
    CannotTell // the table cannot be read here (no /proc): reason says why
};

struct Result {
    Verdict verdict = Verdict::CannotTell;
    quint32 uid = 0;
    QString reason;
};

// The owner of the program at the far end (client) of a connection accepted at server.
Result Check(const Endpoint& server, const Endpoint& client);

} // namespace PeerOwner
