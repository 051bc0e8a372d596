// The kernel's TCP socket table: one line per socket.
#include "server/PeerOwner.h"

#include <QList>
#include <cstring>

namespace PeerOwner {
namespace {

std::optional<quint32> hexWord(const QByteArray& text) {
    if (text.isEmpty() || text.size() > 8)
        return std::nullopt;
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return quint32(v);
}

// The kernel prints each 32-bit word of the address in network order as a host integer:
// the word's bytes in memory are the address's bytes.
void wordBytes(quint32 word, quint8* out) {
    std::memcpy(out, &word, 4);
}

std::optional<Endpoint> endpoint(const QByteArray& token) {
    const qsizetype colon = token.indexOf(':');
    if (colon < 0)
        return std::nullopt;
    const QByteArray addr = token.left(colon);
    const std::optional<quint32> port = hexWord(token.mid(colon + 1));
    if (!port || *port > 0xFFFF || token.size() - colon - 1 != 4)
        return std::nullopt;
    Endpoint e;
    e.port = quint16(*port);
    if (addr.size() == 8) {
        const std::optional<quint32> w = hexWord(addr);
        if (!w)
            return std::nullopt;
        quint8 b[4];
        wordBytes(*w, b);
        e.address = QHostAddress(quint32(b[0]) << 24 | quint32(b[1]) << 16 | quint32(b[2]) << 8 | b[3]);
        return e;
    }
    if (addr.size() == 32) {
        Q_IPV6ADDR v6;
        for (int i = 0; i < 4; ++i) {
            const std::optional<quint32> w = hexWord(addr.mid(i * 8, 8));
            if (!w)
                return std::nullopt;
            wordBytes(*w, v6.c + i * 4);
        }
        e.address = QHostAddress(v6);
        return e;
    }
    return std::nullopt;
}

bool same(const Endpoint& a, const Endpoint& b) {
    return a.port == b.port && a.address.isEqual(b.address, QHostAddress::ConvertV4MappedToIPv4);
}

} // namespace

std::optional<Socket> FindSocket(const QByteArray& table, const Endpoint& local, const Endpoint& remote) {
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 10 || !f[0].endsWith(':'))
            continue; // the heading, or a line cut short
        const std::optional<Endpoint> l = endpoint(f[1]);
        const std::optional<Endpoint> r = endpoint(f[2]);
        if (!l || !r || !same(*l, local) || !same(*r, remote))
            continue;
        bool uidOk = false, inodeOk = false;
        const uint uid = f[7].toUInt(&uidOk);
        const qulonglong inode = f[9].toULongLong(&inodeOk);
        if (!uidOk || !inodeOk)
            continue;
        // Held by a process (an inode), or a socket its program closed that still sends
        // (FIN_WAIT1, CLOSING, LAST_ACK: the kernel keeps its owner). States 05 and 06
        // without an inode may be the kernel's time-wait leftovers, which keep no owner.
        const bool leftover = inode == 0 && (f[3] == "05" || f[3] == "06");
        return Socket{quint32(uid), !leftover};
    }
    return std::nullopt;
}

} // namespace PeerOwner
