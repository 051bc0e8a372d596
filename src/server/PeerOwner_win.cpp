// The owner of a local connection on Windows: the process that holds the client's end, from
// the system's TCP tables (GetExtendedTcpTable, IPv4 and IPv6), and the user its access token runs as.
#include "server/PeerOwner.h"

#include <cstring>
#include <vector>

// In this order: <winsock2.h> before <windows.h>, both before <iphlpapi.h>.
#include <winsock2.h>

#include <windows.h>

#include <iphlpapi.h>

namespace PeerOwner {
namespace {

// The SID of the user a process runs as (a TOKEN_USER); empty when its token cannot be read.
std::vector<char> UserOf(HANDLE process) {
    std::vector<char> info;
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token))
        return info;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    info.resize(size);
    if (size == 0 || !GetTokenInformation(token, TokenUser, info.data(), size, &size))
        info.clear();
    CloseHandle(token);
    return info;
}

PSID Sid(std::vector<char>& info) {
    return reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid;
}

bool sameV6(const UCHAR* row, const QHostAddress& address) {
    const Q_IPV6ADDR a = address.toIPv6Address();
    return std::memcmp(row, a.c, 16) == 0;
}

// The process holding the TCP socket local -> remote (IPv4 or IPv6, as the client's
// address is), 0 when the table has none.
DWORD OwningPid(const Endpoint& local, const Endpoint& remote, DWORD* error) {
    bool ipv4 = false;
    const quint32 localAddress = local.address.toIPv4Address(&ipv4);
    const quint32 remoteAddress = remote.address.toIPv4Address();
    std::vector<char> table(16384);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = DWORD(table.size());
        const DWORD rc = GetExtendedTcpTable(table.data(), &size, FALSE, ipv4 ? AF_INET : AF_INET6,
                                             TCP_TABLE_OWNER_PID_ALL, 0);
        if (rc == ERROR_INSUFFICIENT_BUFFER) {
            table.resize(size + 4096);
            continue;
        }
        if (rc != NO_ERROR) {
            *error = rc;
            return 0;
        }
        // Addresses and ports in network order; the port in the low 16 bits.
        if (ipv4) {
            const auto* rows = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(table.data());
            for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
                const MIB_TCPROW_OWNER_PID& row = rows->table[i];
                if (ntohl(row.dwLocalAddr) == localAddress && ntohs(u_short(row.dwLocalPort)) == local.port &&
                    ntohl(row.dwRemoteAddr) == remoteAddress &&
                    ntohs(u_short(row.dwRemotePort)) == remote.port)
                    return row.dwOwningPid;
            }
            return 0;
        }
        const auto* rows = reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(table.data());
        for (DWORD i = 0; i < rows->dwNumEntries; ++i) {
            const MIB_TCP6ROW_OWNER_PID& row = rows->table[i];
            if (sameV6(row.ucLocalAddr, local.address) && ntohs(u_short(row.dwLocalPort)) == local.port &&
                sameV6(row.ucRemoteAddr, remote.address) && ntohs(u_short(row.dwRemotePort)) == remote.port)
                return row.dwOwningPid;
        }
        return 0;
    }
    *error = ERROR_INSUFFICIENT_BUFFER;
    return 0;
}

} // namespace

Result Check(const Endpoint& server, const Endpoint& client) {
    Result r;
    DWORD error = 0;
    const DWORD pid = OwningPid(client, server, &error);
    if (error != 0) {
        r.verdict = Verdict::CannotTell;
        r.reason = QStringLiteral("GetExtendedTcpTable: ошибка %1").arg(error);
        return r;
    }
    if (pid == 0) {
        r.verdict = Verdict::Unknown; // no such socket any more, or kept by the system
        return r;
    }
    std::vector<char> ours = UserOf(GetCurrentProcess());
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        // A process of another account (a service's among them) does not open for us.
        r.verdict = GetLastError() == ERROR_ACCESS_DENIED ? Verdict::Foreign : Verdict::Unknown;
        return r;
    }
    std::vector<char> theirs = UserOf(process);
    CloseHandle(process);
    if (ours.empty() || theirs.empty()) {
        r.verdict = theirs.empty() && !ours.empty() ? Verdict::Foreign : Verdict::Unknown;
        return r;
    }
    r.verdict = EqualSid(Sid(ours), Sid(theirs)) ? Verdict::Own : Verdict::Foreign;
    return r;
}

} // namespace PeerOwner
