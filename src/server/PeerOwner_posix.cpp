// The owner of a local connection on Linux, from /proc/net/tcp and /proc/net/tcp6.
#include "server/PeerOwner.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace PeerOwner {
namespace {
// The whole file: procfs reports no size, it is read until its end.
bool readAll(const char* path, QByteArray* out, int* error) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = n < 0 ? errno : 0;
            ::close(fd);
            return n == 0;
        }
        out->append(buffer, n);
    }
}
} // namespace

Result Check(const Endpoint& server, const Endpoint& client) {
    // The client's own socket: its local end is the client's address, its far end ours.
    QByteArray table;
    int error4 = 0, error6 = 0;
    const bool v4 = readAll("/proc/net/tcp", &table, &error4);
    const bool v6 = readAll("/proc/net/tcp6", &table, &error6);
    Result r;
    if (!v4 && !v6) {
        r.verdict = Verdict::CannotTell;
        r.reason = QStringLiteral("/proc/net/tcp: %1").arg(QString::fromLocal8Bit(std::strerror(error4)));
        return r;
    }
    const std::optional<Socket> socket = FindSocket(table, client, server);
    if (!socket || !socket->ownerKnown) {
        r.verdict = Verdict::Unknown;
        return r;
    }
    r.uid = socket->uid;
    r.verdict = socket->uid == ::geteuid() ? Verdict::Own : Verdict::Foreign;
    return r;
}

} // namespace PeerOwner
