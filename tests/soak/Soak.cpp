#include "Soak.h"

#include "PanelSim.h"
#include "StreamCheck.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "channels/RingThread.h"
#include "log/LOGUnit.h"
#include "log/TimeFuncs.h"
#include "platform/Platform.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SOAK_ASAN 1
#endif
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;
// A direction that moves nothing for this long has lost what it holds.
constexpr auto StallLimit = std::chrono::seconds(30);
// The device key of the soak's panel, mapped in setup.ini to a setup program that idles.
const QByteArray VersionAnswer = "+VER_INFO=1,\"SOAK.01.00\",\"2026\"\r\nOK\r\n";

double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

QString mib(qint64 bytes) {
    return QString::number(double(bytes) / double(MiB), 'f', bytes < 10 * MiB ? 2 : 0) +
           QStringLiteral(" MiB");
}

// One sender of a stream: random packet sizes, now and then a short pause.
struct Sender {
    Pattern pattern;
    qint64 generated = 0; // offset of the next packet
    qint64 limit = -1;    // -1: no end
    std::vector<char> packet;
    qint64 packetOffset = 0;
    qint64 packetLength = 0;
    Clock::time_point resumeAt{};
    bool enabled = false;

    qint64 sent() const { return generated - (packetLength - packetOffset); }
    bool hasPending() const { return packetOffset < packetLength; }
    bool wantsWrite(Clock::time_point now) const {
        return enabled && (hasPending() || ((limit < 0 || generated < limit) && now >= resumeAt));
    }
    void start(quint64 seed, bool avoid, qint64 lim) {
        pattern = Pattern(seed, avoid);
        generated = 0;
        limit = lim;
        packetOffset = packetLength = 0;
        resumeAt = {};
        enabled = true;
    }
    // Writes what the descriptor takes now; -1 when it failed for good.
    qint64 writeTo(int fd, bool socket, std::mt19937_64& rng, int maxPacket) {
        qint64 total = 0;
        for (;;) {
            if (!hasPending()) {
                if ((limit >= 0 && generated >= limit) || Clock::now() < resumeAt)
                    return total;
                // Sizes spread over every order of magnitude, 1 byte to maxPacket.
                const qint64 top = qint64(1) << (rng() % 17);
                qint64 size = std::min<qint64>(top / 2 + qint64(rng() % quint64(top / 2 + 1)) + 1, maxPacket);
                if (limit >= 0)
                    size = std::min(size, limit - generated);
                if (qint64(packet.size()) < size)
                    packet.resize(size_t(size));
                pattern.fill(packet.data(), generated, size);
                generated += size;
                packetOffset = 0;
                packetLength = size;
            }
            const char* from = packet.data() + packetOffset;
            const size_t want = size_t(packetLength - packetOffset);
            const ssize_t w =
                socket ? ::send(fd, from, want, MSG_NOSIGNAL | MSG_DONTWAIT) : ::write(fd, from, want);
            if (w < 0)
                return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? total : -1;
            packetOffset += w;
            total += w;
            if (hasPending())
                return total; // the descriptor is full
            if (rng() % 16 == 0) {
                resumeAt = Clock::now() + milliseconds(rng() % 4);
                return total;
            }
        }
    }
};

// The panel's bytes as the setup program sees them on one connection.
struct Receiver {
    Pattern pattern;
    qint64 got = 0;
    bool expecting = false;
    QString error;
    bool feed(const char* data, qint64 n) {
        if (!error.isEmpty())
            return false;
        if (!expecting) {
            error = QStringLiteral("the setup program got %1 bytes the panel did not send to this connection")
                        .arg(n);
            return false;
        }
        const qint64 ok = firstMismatch(pattern, got, data, n);
        got += ok;
        if (ok < n)
            error = QStringLiteral("panel byte %1 reached the setup program wrong").arg(got);
        return error.isEmpty();
    }
};

qint64 readRss() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * KiB;
    return -1;
}

// Runs f on the GUI thread and waits for it.
void gui(const std::function<void()>& f) {
    QMetaObject::invokeMethod(qApp, f, Qt::BlockingQueuedConnection);
}

enum class Kind { Cable, Lan, Modem };

// The number the wizard dials; the soak's modem connects only this one.
const QByteArray SoakPhone = "+79001234567";

// Both far ends of one channel, and the fault schedule, on a thread of their own.
class Peer {
  public:
    Peer(Kind kind, const SoakOptions& o, quint16 serverPort, PseudoTerminal* pty, int lanListener)
        : FKind(kind), FOpt(o), FServerPort(serverPort), FPty(pty), FListener(lanListener), FRng(o.seed) {
        if (pty)
            FPanelFd = pty->masterFd();
    }
    ~Peer() {
        closeClient(false);
        if (FKind == Kind::Lan)
            closePanel(false);
    }

    QList<SoakCheck> checks;
    std::atomic<bool> done{false};

    void run();

  private:
    // ---- I/O ------------------------------------------------------------------------------
    void pump(int maxWaitMs);
    bool waitFor(const std::function<bool()>& condition, double seconds, const QString& what);
    void connectClient();
    // mayLose: bytes of this connection may still be lost (a reset, or the wizard dropped it).
    void closeClient(bool reset, bool mayLose = true);
    void onClientConnected();
    void closePanel(bool reset);
    void onPanelBytes(const char* data, qint64 n);
    void startPanelStream();
    void record(const QString& name, bool passed, const QString& detail) {
        checks.append(SoakCheck{name, passed, detail});
        if (FOpt.verbose)
            std::fprintf(stderr, "soak: %s %s: %s\n", passed ? "PASS" : "FAIL", qPrintable(name),
                         qPrintable(detail));
    }
    QString wizardLogTail(int lines);
    QString streamErrors() const {
        QStringList e;
        if (!FPanelRx.error().isEmpty())
            e << FPanelRx.error();
        if (!FClientRx.error.isEmpty())
            e << FClientRx.error;
        if (!FIoError.isEmpty())
            e << FIoError;
        return e.join(QStringLiteral("; "));
    }
    QString name(const char* what) const {
        return (FKind == Kind::Cable ? QStringLiteral("cable: ")
                : FKind == Kind::Lan ? QStringLiteral("lan: ")
                                     : QStringLiteral("modem: ")) +
               QLatin1String(what);
    }

    // ---- phases -------------------------------------------------------------------------
    bool bulk();
    bool setupRestarts();
    bool unplugCycles();
    bool lanDrops();
    bool modemHangups();
    // The modem's command mode: echo, "OK", registration, "CONNECT" for the soak's number.
    void onModemCommand(const char* data, qint64 n);
    void modemSay(const QByteArray& text);
    // Both directions move at least `bytes` on the current connections.
    bool flowing(qint64 bytes, double seconds, const QString& what);

    Kind FKind;
    SoakOptions FOpt;
    quint16 FServerPort;
    PseudoTerminal* FPty;
    int FListener;
    std::mt19937_64 FRng;

    int FPanelFd = -1;
    bool FPanelHandshake = true; // waiting for the version request
    QByteArray FHandshakeBytes;
    Sender FPanelTx;
    SegmentVerifier FPanelRx;
    bool FPanelStreams = true; // the panel sends its stream in this phase
    bool FModemData = false;   // modem: a call is up, the port carries the panel's bytes
    QByteArray FModemLine;     // modem: the command line being received
    int FModemCalls = 0;
    int FModemHangUps = 0; // "ATH" commands received

    int FClientFd = -1;
    bool FClientConnecting = false;
    Clock::time_point FClientRetryAt{};
    bool FClientWanted = true;
    Sender FClientTx;
    Receiver FClientRx;
    qint64 FClientLimit = -1;
    int FConnections = 0;
    int FPanelConnections = 0;

    QString FIoError;
    Clock::time_point FLastProgress = Clock::now();
    qint64 FMoved = 0;

    // RSS after the warm-up and the largest since.
    Clock::time_point FLastRssSample{};
    qint64 FRssBase = -1;
    qint64 FRssMax = -1;
    Clock::time_point FLastLogToggle = Clock::now();
    bool FLogShown = false;
};

void Peer::connectClient() {
    FClientFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(FServerPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int r = ::connect(FClientFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r == 0) {
        onClientConnected();
    } else if (errno == EINPROGRESS) {
        FClientConnecting = true;
    } else {
        ::close(FClientFd);
        FClientFd = -1;
        FClientRetryAt = Clock::now() + milliseconds(10);
    }
}

void Peer::onClientConnected() {
    FClientConnecting = false;
    ++FConnections;
    const quint64 seed = mix(FOpt.seed * 1000003u + quint64(FConnections) * 2 + 1);
    FClientTx.start(seed, false, FClientLimit);
    FPanelRx.add(FClientTx.pattern);
    FClientRx = Receiver{};
}

void Peer::closeClient(bool reset, bool mayLose) {
    if (FClientFd < 0)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(FClientFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(FClientFd);
    FClientFd = -1;
    if (!FClientConnecting)
        FPanelRx.close(FClientTx.sent(), mayLose);
    FClientConnecting = false;
    FClientTx.enabled = false;
    FClientRetryAt = Clock::now() + milliseconds(5);
}

void Peer::closePanel(bool reset) {
    if (FPanelFd < 0)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(FPanelFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(FPanelFd);
    FPanelFd = -1;
}

void Peer::startPanelStream() {
    const quint64 seed = mix(FOpt.seed * 7919u + quint64(FConnections) * 2);
    FPanelTx.start(seed, FKind == Kind::Modem, FPanelTx.limit);
    FClientRx.pattern = FPanelTx.pattern;
    FClientRx.got = 0;
    FClientRx.expecting = true;
}

void Peer::onPanelBytes(const char* data, qint64 n) {
    if (FPanelHandshake) {
        FHandshakeBytes.append(data, int(n));
        if (!FHandshakeBytes.contains("+VER_INFO=?\r\n"))
            return;
        // The dialogue is over once the version went out; what follows is the setup program's.
        const qsizetype after = FHandshakeBytes.indexOf("+VER_INFO=?\r\n") + 13;
        const QByteArray rest = FHandshakeBytes.mid(after);
        FHandshakeBytes.clear();
        FPanelHandshake = false;
        if (::write(FPanelFd, VersionAnswer.constData(), size_t(VersionAnswer.size())) !=
            VersionAnswer.size())
            FIoError = QStringLiteral("the panel could not answer the version request");
        if (!rest.isEmpty())
            onPanelBytes(rest.constData(), rest.size());
        return;
    }
    const bool wasLatest = FPanelRx.currentIsLatest() && FPanelRx.latestDelivered() > 0;
    FPanelRx.feed(data, n);
    // The panel answers a connection of the setup program once its first byte arrived:
    // then the connection is up on both sides and no byte of it can be dropped unseen.
    if (FPanelStreams && !wasLatest && FPanelRx.currentIsLatest() && FPanelRx.latestDelivered() > 0 &&
        FClientFd >= 0 && !FClientConnecting)
        startPanelStream();
}

void Peer::modemSay(const QByteArray& text) {
    if (::write(FPanelFd, text.constData(), size_t(text.size())) != text.size())
        FIoError = QStringLiteral("the modem could not answer");
}

void Peer::onModemCommand(const char* data, qint64 n) {
    FModemLine.append(data, int(n));
    for (;;) {
        const qsizetype cr = FModemLine.indexOf('\r');
        if (cr < 0)
            break;
        QByteArray line = FModemLine.left(cr);
        FModemLine.remove(0, cr + 1);
        // Bytes of the setup program that were still on their way when the call dropped
        // may precede a command: only the line's end counts.
        if (line.endsWith("ATD" + SoakPhone)) {
            modemSay("ATD" + SoakPhone + "\r\r\nCONNECT 9600\r\n");
            ++FModemCalls;
            FModemData = true;
            FPanelHandshake = true;
            FHandshakeBytes.clear();
            const QByteArray rest = FModemLine;
            FModemLine.clear();
            if (!rest.isEmpty())
                onPanelBytes(rest.constData(), rest.size());
            return;
        }
        if (line.endsWith("AT+CREG?")) {
            modemSay("AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n");
        } else {
            for (const char* c : {"ATZ", "ATH", "AT+CBST=7,0,1", "AT"}) {
                if (line.endsWith(c)) {
                    if (qstrcmp(c, "ATH") == 0)
                        ++FModemHangUps;
                    modemSay(QByteArray(c) + "\r\r\nOK\r\n");
                    break;
                }
            }
        }
    }
    if (FModemLine.size() > 256)
        FModemLine = FModemLine.right(64);
}

void Peer::pump(int maxWaitMs) {
    const auto now = Clock::now();
    if (FClientFd < 0 && FClientWanted && now >= FClientRetryAt)
        connectClient();

    pollfd fds[3];
    int n = 0;
    int panelAt = -1, clientAt = -1, listenAt = -1;
    if (FPanelFd >= 0) {
        panelAt = n;
        fds[n++] = {FPanelFd, short(POLLIN | (FPanelTx.wantsWrite(now) ? POLLOUT : 0)), 0};
    }
    if (FClientFd >= 0) {
        clientAt = n;
        fds[n++] = {FClientFd,
                    short(FClientConnecting ? POLLOUT : (POLLIN | (FClientTx.wantsWrite(now) ? POLLOUT : 0))),
                    0};
    }
    if (FListener >= 0 && FPanelFd < 0) {
        listenAt = n;
        fds[n++] = {FListener, POLLIN, 0};
    }
    int timeout = maxWaitMs;
    for (const Sender* s : {&FPanelTx, &FClientTx})
        if (s->enabled && !s->hasPending() && s->resumeAt > now)
            timeout = std::min<int>(
                timeout, int(std::chrono::duration_cast<milliseconds>(s->resumeAt - now).count()) + 1);
    if (FClientFd < 0 && FClientWanted)
        timeout = std::min<int>(
            timeout, std::max<int>(
                         0, int(std::chrono::duration_cast<milliseconds>(FClientRetryAt - now).count()) + 1));
    ::poll(fds, nfds_t(n), timeout);

    char buf[65536];
    if (listenAt >= 0 && (fds[listenAt].revents & POLLIN)) {
        const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            FPanelFd = fd;
            FPanelHandshake = true;
            FHandshakeBytes.clear();
            FPanelTx.enabled = false;
            ++FPanelConnections;
            FPanelRx.abandonAll();
        }
    }
    if (panelAt >= 0 && FPanelFd >= 0) {
        const short ev = fds[panelAt].revents;
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t r = ::read(FPanelFd, buf, sizeof buf);
            if (r > 0) {
                FMoved += r;
                FLastProgress = Clock::now();
                if (FKind == Kind::Modem && !FModemData)
                    onModemCommand(buf, r);
                else
                    onPanelBytes(buf, r);
            } else if (FKind == Kind::Lan && (r == 0 || (errno != EAGAIN && errno != EINTR))) {
                closePanel(false); // the wizard closed its side
                FPanelTx.enabled = false;
            }
        }
        if (FPanelFd >= 0 && (ev & POLLOUT) && !FPanelHandshake && (FKind != Kind::Modem || FModemData)) {
            const qint64 w = FPanelTx.writeTo(FPanelFd, FKind == Kind::Lan, FRng, FOpt.maxPacket);
            if (w > 0) {
                FMoved += w;
                FLastProgress = Clock::now();
            }
        }
    }
    if (clientAt >= 0 && FClientFd >= 0) {
        const short ev = fds[clientAt].revents;
        if (FClientConnecting) {
            if (ev & (POLLOUT | POLLERR | POLLHUP)) {
                int err = 0;
                socklen_t len = sizeof err;
                ::getsockopt(FClientFd, SOL_SOCKET, SO_ERROR, &err, &len);
                if (err == 0) {
                    onClientConnected();
                } else {
                    ::close(FClientFd);
                    FClientFd = -1;
                    FClientConnecting = false;
                    FClientRetryAt = Clock::now() + milliseconds(10);
                }
            }
        } else {
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t r = ::recv(FClientFd, buf, sizeof buf, MSG_DONTWAIT);
                if (r > 0) {
                    FMoved += r;
                    FLastProgress = Clock::now();
                    FClientRx.feed(buf, r);
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    closeClient(false); // the wizard dropped the setup program
                }
            }
            if (FClientFd >= 0 && (ev & POLLOUT)) {
                const qint64 w = FClientTx.writeTo(FClientFd, true, FRng, FOpt.maxPacket);
                if (w > 0) {
                    FMoved += w;
                    FLastProgress = Clock::now();
                } else if (w < 0) {
                    closeClient(false);
                }
            }
        }
    }

    const auto after = Clock::now();
    if (FOpt.logToggleMs > 0 && after - FLastLogToggle >= milliseconds(FOpt.logToggleMs)) {
        FLastLogToggle = after;
        FLogShown = !FLogShown;
        const bool show = FLogShown;
        gui([show] { LOGForm->setVisible(show); });
    }
    if (after - FLastRssSample >= milliseconds(200)) {
        FLastRssSample = after;
        const qint64 rss = readRss();
        if (FRssBase >= 0)
            FRssMax = std::max(FRssMax, rss);
    }
}

bool Peer::waitFor(const std::function<bool()>& condition, double seconds, const QString& what) {
    const auto start = Clock::now();
    FLastProgress = start;
    while (!condition()) {
        if (!streamErrors().isEmpty())
            return false;
        if (secondsSince(start) > seconds || Clock::now() - FLastProgress > StallLimit) {
            FIoError = QStringLiteral("%1: not within %2 s").arg(what).arg(seconds);
            return false;
        }
        pump(50);
    }
    return streamErrors().isEmpty();
}

bool Peer::flowing(qint64 bytes, double seconds, const QString& what) {
    // Measured on the current connections, whichever they are by then.
    return waitFor(
        [&] {
            return FClientFd >= 0 && !FClientConnecting && FPanelRx.currentIsLatest() &&
                   FPanelRx.latestDelivered() >= bytes && FClientRx.expecting && FClientRx.got >= bytes;
        },
        seconds, what);
}

bool Peer::bulk() {
    const auto start = Clock::now();
    const int connection = FConnections;
    const qint64 warmUp = FOpt.bulkBytes / 4;
    const double limit = 60 + double(FOpt.bulkBytes) / double(MiB); // generous: at least 1 MiB/s
    const bool ok = waitFor(
        [&] {
            if (FRssBase < 0 && FClientRx.got >= warmUp && FPanelRx.latestDelivered() >= warmUp) {
                FRssBase = readRss();
                FRssMax = FRssBase;
            }
            return FConnections != connection ||
                   (FPanelRx.latestDelivered() >= FOpt.bulkBytes && FClientRx.got >= FOpt.bulkBytes);
        },
        limit, QStringLiteral("bulk transfer"));
    const double s = secondsSince(start);
    const bool sameConnection = FConnections == connection;
    const bool passed = ok && sameConnection;
    record(name("bulk both ways"), passed,
           passed
               ? QStringLiteral("%1 each way, random packets 1 B..%2 KiB, log window toggled every %3 ms: "
                                "nothing lost, doubled or reordered; %4 MiB/s each way")
                     .arg(mib(FOpt.bulkBytes))
                     .arg(FOpt.maxPacket / 1024)
                     .arg(FOpt.logToggleMs)
                     .arg(double(FOpt.bulkBytes) / double(MiB) / s, 0, 'f', 1)
               : (sameConnection ? streamErrors()
                                 : QStringLiteral("the setup program's connection was dropped mid-stream")));
    FClientLimit = -1;
    FPanelTx.limit = -1;
    FClientTx.limit = -1;
    return passed;
}

bool Peer::setupRestarts() {
    // The setup program dies mid-upload, every other time with a reset; the panel stays
    // quiet meanwhile so that a clean end leaves nothing unread in the dying connection.
    FPanelStreams = false;
    FPanelTx.enabled = false;
    FClientLimit = 0;          // a new connection sends only what the step below asks for
    closeClient(false, false); // the bulk connection ends cleanly: all of it was delivered
    int done = 0;
    bool ok = true;
    for (int i = 0; i < FOpt.setupRestarts && ok; ++i) {
        const bool reset = i % 2 == 1;
        ok = waitFor([&] { return FClientFd >= 0 && !FClientConnecting; }, 20,
                     QStringLiteral("setup connect"));
        if (!ok)
            break;
        const int connection = FConnections;
        const qint64 amount = 16 * KiB + qint64(FRng() % quint64(512 * KiB));
        FClientTx.limit = amount;
        ok = waitFor([&] { return FClientTx.sent() >= amount || FConnections != connection; }, 30,
                     QStringLiteral("setup upload"));
        if (!ok)
            break;
        if (FConnections != connection) {
            ok = false;
            FIoError = QStringLiteral("the wizard dropped the setup program during its upload");
            break;
        }
        // Only once the wizard has taken the connection: one whose program has closed it
        // before the wizard could look up whose it was has no owner left and is refused.
        ok = waitFor([&] { return FPanelRx.latestDelivered() > 0; }, 30, QStringLiteral("setup accepted"));
        if (!ok)
            break;
        if (reset) {
            // Let the panel have all of it, then one more packet and the reset at once:
            // only that packet's tail may be lost.
            ok = waitFor([&] { return FPanelRx.latestDelivered() >= amount; }, 30,
                         QStringLiteral("setup drain"));
            FClientTx.limit = amount + 1 + qint64(FRng() % quint64(FOpt.maxPacket));
            for (int k = 0; k < 4 && FClientTx.wantsWrite(Clock::now()); ++k)
                FClientTx.writeTo(FClientFd, true, FRng, FOpt.maxPacket);
        }
        // A clean end hands every byte to the kernel first: all of them must reach the panel.
        closeClient(reset, reset);
        ++done;
    }
    if (ok) {
        // The last connection's whole upload arrives after all of the dead ones.
        ok = waitFor([&] { return FClientFd >= 0 && !FClientConnecting; }, 20,
                     QStringLiteral("setup reconnect"));
        FClientTx.limit = 256 * KiB;
        ok = ok &&
             waitFor([&] { return FPanelRx.currentIsLatest() && FPanelRx.latestDelivered() >= 256 * KiB; },
                     30, QStringLiteral("upload after the restarts")) &&
             FPanelRx.settle();
    }
    const qint64 lostToResets = FPanelRx.lost();
    record(name("setup program restarts"), ok,
           ok ? QStringLiteral(
                    "%1 restarts mid-upload (%2 clean ends, every byte delivered; %3 resets, %4 bytes "
                    "of their last packets lost); no byte of a dead connection after the next one's")
                    .arg(done)
                    .arg((done + 1) / 2)
                    .arg(done / 2)
                    .arg(lostToResets)
              : streamErrors());
    // New streams both ways for what follows.
    FPanelStreams = true;
    FClientLimit = -1;
    closeClient(false, false);
    return ok && flowing(16 * KiB, 30, QStringLiteral("streams after the restarts"));
}

bool Peer::unplugCycles() {
    int cycles = 0;
    bool ok = true;
    QString detail;
    for (int i = 0; i < FOpt.unplugCycles && ok; ++i) {
        // Stream a little, pull the adapter mid-transfer, plug it back after a while.
        const auto until = Clock::now() + milliseconds(50 + FRng() % 200);
        while (Clock::now() < until && streamErrors().isEmpty())
            pump(20);
        const int connectionsBefore = FConnections;
        FPty->unplug();
        FPanelFd = -1;
        FPanelTx.enabled = false;
        const auto back = Clock::now() + milliseconds(600 + FRng() % 400);
        while (Clock::now() < back)
            pump(20);
        if (!FPty->plug()) {
            FIoError = QStringLiteral("replug: %1").arg(FPty->errorString());
            ok = false;
            break;
        }
        FPanelFd = FPty->masterFd();
        FPanelRx.abandonAll();
        ok = waitFor([&] { return FConnections > connectionsBefore; }, 20,
                     QStringLiteral("the setup program reconnecting after replug %1").arg(i + 1)) &&
             flowing(16 * KiB, 20, QStringLiteral("the session resuming after replug %1").arg(i + 1));
        if (ok)
            ++cycles;
    }
    record(
        name("unplug and replug"), ok,
        ok ? QStringLiteral("%1 cycles, the session resumed each time with fresh streams both ways, no stale "
                            "byte delivered")
                 .arg(cycles)
           : QStringLiteral("cycle %1: %2; the wizard's log ended: %3")
                 .arg(cycles + 1)
                 .arg(streamErrors(), wizardLogTail(16)));
    return ok;
}

QString Peer::wizardLogTail(int lines) {
    QStringList tail;
    gui([&] {
        const int count = LOGForm->Log->count();
        for (int i = std::max(0, count - lines); i < count; ++i)
            tail << LOGForm->Log->item(i)->text().left(120);
    });
    return tail.join(QStringLiteral(" | "));
}

bool Peer::lanDrops() {
    qint64 setupPid = -1;
    gui([&] {
        if (MainKestromForm->FSetupProcInfo)
            setupPid = MainKestromForm->FSetupProcInfo->processId();
    });
    int drops = 0;
    bool ok = true;
    QString policy;
    for (int i = 0; i < FOpt.lanDrops && ok; ++i) {
        const auto until = Clock::now() + milliseconds(FRng() % 30);
        while (Clock::now() < until && streamErrors().isEmpty())
            pump(10);
        const int before = FConnections;
        const int panelBefore = FPanelConnections;
        closePanel(i % 2 == 1); // every other drop is a reset
        FPanelTx.enabled = false;
        ok = waitFor([&] { return FPanelConnections > panelBefore && FConnections > before; }, 20,
                     QStringLiteral("reconnect after drop %1").arg(i + 1)) &&
             flowing(4 * KiB, 20, QStringLiteral("the session resuming after drop %1").arg(i + 1));
        if (!ok)
            break;
        int count = -1;
        int tag = -1;
        qint64 pid = -2;
        gui([&] {
            count = MainKestromForm->FReconectCount;
            tag = MainKestromForm->URLLabel1->Tag;
            pid = MainKestromForm->FSetupProcInfo ? MainKestromForm->FSetupProcInfo->processId() : -1;
        });
        if (count != 0 || tag != lsConnecting || pid != setupPid) {
            ok = false;
            policy =
                QStringLiteral("after drop %1: FReconectCount %2, link state %3, setup program %4 (was %5)")
                    .arg(i + 1)
                    .arg(count)
                    .arg(tag)
                    .arg(pid)
                    .arg(setupPid);
            break;
        }
        ++drops;
    }
    record(name("panel drops"), ok,
           ok ? QStringLiteral(
                    "%1 drops (half of them resets): reconnected each time, reconnect count back to 0, "
                    "the same setup program, fresh streams both ways")
                    .arg(drops)
              : (policy.isEmpty() ? streamErrors() : policy));
    return ok;
}

bool Peer::modemHangups() {
    int hangUps = 0;
    bool ok = true;
    QString policy;
    for (int i = 0; i < FOpt.modemHangups && ok; ++i) {
        const auto until = Clock::now() + milliseconds(100 + FRng() % 200);
        while (Clock::now() < until && streamErrors().isEmpty())
            pump(20);
        qint64 setupPid = -1;
        gui([&] {
            if (MainKestromForm->FSetupProcInfo)
                setupPid = MainKestromForm->FSetupProcInfo->processId();
        });
        // The far end hangs up: the carrier goes, the modem says so between its lines.
        // Its panel stream stops first, as a lost carrier carries nothing more.
        FPanelTx.enabled = false;
        const auto quiet = Clock::now() + milliseconds(200);
        while (Clock::now() < quiet)
            pump(20);
        const int before = FConnections;
        const int athBefore = FModemHangUps;
        FModemData = false;
        FModemLine.clear();
        modemSay("\r\nNO CARRIER\r\n");
        FPanelRx.abandonAll();
        ok = waitFor(
            [&] {
                if (FModemHangUps == athBefore)
                    return false;
                int tag = -1;
                bool handler = true, started = false;
                qint64 pid = -2;
                QString text;
                gui([&] {
                    TMainKestromForm* f = MainKestromForm;
                    tag = f->URLLabel1->Tag;
                    text = f->URLLabel1->text();
                    handler = f->FRing && f->FRing->HandlerRunning();
                    started = f->FSetupIsStarted;
                    pid = f->FSetupProcInfo ? f->FSetupProcInfo->processId() : -1;
                });
                if (tag != lsRedial || handler)
                    return false;
                if (text != QStringLiteral("Переподключить") || !started || pid != setupPid)
                    policy = QStringLiteral("after hang-up %1: link \"%2\", setup program %3 (was %4)")
                                 .arg(i + 1)
                                 .arg(text)
                                 .arg(pid)
                                 .arg(setupPid);
                return true;
            },
            20, QStringLiteral("the redial link after hang-up %1").arg(i + 1));
        if (!ok || !policy.isEmpty()) {
            ok = false;
            break;
        }
        gui([] { MainKestromForm->URLLabel1->Click(); });
        FPanelStreams = true;
        ok = waitFor([&] { return FModemData && !FPanelHandshake && FConnections > before; }, 30,
                     QStringLiteral("the redial after hang-up %1").arg(i + 1)) &&
             flowing(16 * KiB, 20, QStringLiteral("the session resuming after hang-up %1").arg(i + 1));
        if (ok)
            ++hangUps;
    }
    record(name("far-end hang-ups"), ok,
           ok ? QStringLiteral(
                    "%1 hang-ups (\"NO CARRIER\" mid-stream): the wizard hung up with ATH, offered "
                    "\"Переподключить\", kept the same setup program; redialled each time (%2 calls in all), "
                    "fresh streams both ways each time, no stale byte delivered")
                    .arg(hangUps)
                    .arg(FModemCalls)
              : (policy.isEmpty() ? QStringLiteral("hang-up %1: %2").arg(hangUps + 1).arg(streamErrors())
                                  : policy));
    return ok;
}

void Peer::run() {
    FClientLimit = FOpt.bulkBytes;
    FPanelTx.limit = FOpt.bulkBytes;
    bool ok = waitFor([&] { return !FPanelHandshake && FClientFd >= 0 && !FClientConnecting; }, 60,
                      QStringLiteral("handshake and the setup program's connection"));
    if (!ok)
        record(name("session start"), false, streamErrors());
    if (ok)
        ok = bulk();
    if (ok && FOpt.setupRestarts > 0)
        ok = setupRestarts();
    if (ok && FKind == Kind::Cable && FOpt.unplugCycles > 0)
        ok = unplugCycles();
    if (ok && FKind == Kind::Lan && FOpt.lanDrops > 0)
        ok = lanDrops();
    if (ok && FKind == Kind::Modem && FOpt.modemHangups > 0)
        ok = modemHangups();
    if (ok || FRssBase >= 0) {
#ifdef SOAK_ASAN
        record(name("memory"), true, QStringLiteral("RSS not judged under AddressSanitizer"));
#else
        const qint64 growth = FRssMax - FRssBase;
        record(name("memory"), FRssBase > 0 && growth < FOpt.rssGrowthLimit,
               QStringLiteral("RSS %1 after the warm-up, at most %2 later (growth %3 KiB, limit %4 KiB)")
                   .arg(mib(FRssBase))
                   .arg(mib(FRssMax))
                   .arg(growth / KiB)
                   .arg(FOpt.rssGrowthLimit / KiB));
#endif
    }
    FClientWanted = false;
    closeClient(false);
    done = true;
}

struct ChannelRun {
    QTemporaryDir appDir, configDir, tempDir;
};

void runChannel(Kind kind, const SoakOptions& o, QList<SoakCheck>& out) {
    ChannelRun dirs;
    const QString label = kind == Kind::Cable ? QStringLiteral("cable")
                          : kind == Kind::Lan ? QStringLiteral("lan")
                                              : QStringLiteral("modem");
    {
        QFile ini(dirs.appDir.filePath(QStringLiteral("setup.ini")));
        QFile idler(dirs.appDir.filePath(QStringLiteral("idle-setup")));
        if (!ini.open(QIODevice::WriteOnly) || !idler.open(QIODevice::WriteOnly)) {
            out.append({label + QStringLiteral(": set-up"), false,
                        QStringLiteral("cannot write the program directory")});
            return;
        }
        ini.write("OLDCONNECT=0\r\nSP=0\r\nRB=0\r\nSOAK=idle-setup\r\n");
        // The setup program is played by the peer thread; the one the wizard starts idles.
        idler.write("#!/bin/sh\nexec sleep 100000\n");
        idler.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dirs.configDir.path());
    Platform::SetAppDirForTest(dirs.appDir.path());
    Platform::SetTempPathForTest(dirs.tempDir.path());
    QStringList boxes;
    Platform::SetMessageBoxHandler([&boxes](const Platform::BoxRecord& b) { boxes << b.text; });

    std::unique_ptr<PseudoTerminal> pty;
    int listener = -1;
    quint16 panelPort = 0;
    if (kind == Kind::Cable || kind == Kind::Modem) {
        pty = std::make_unique<PseudoTerminal>();
        if (!pty->plug()) {
            out.append({label + QStringLiteral(": set-up"), false, pty->errorString()});
            return;
        }
        const QString link = pty->linkPath();
        SetCOMPortEnumeratorForTest([link] { return QStringList{link}; });
    } else {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener, 4);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        panelPort = ntohs(a.sin_port);
        SetCOMPortEnumeratorForTest([] { return QStringList(); });
    }

    // A free port for the local server.
    quint16 serverPort = 0;
    {
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
        serverPort = ntohs(a.sin_port);
        ::close(probe);
    }

    CreateForms();
    TMainKestromForm* f = MainKestromForm;
    f->show();
    f->ConnectTypeComboBox->setCurrentIndex(kind == Kind::Cable ? chCable
                                            : kind == Kind::Lan ? chIP
                                                                : chModemV32);
    f->ConnectTypeComboBoxChange();
    if (kind == Kind::Modem) {
        f->PhoneNumber->setEditText(QString::fromLatin1(SoakPhone));
        // The dialogue's listening period and pauses (some 25 s a call) pass quickly.
        SetTickClockForTest(0, std::max(1, o.modemTickScale));
    }
    TCPServerSettingsForm->PortEdit->setText(QString::number(serverPort));
    if (kind == Kind::Lan) {
        f->IPCombo->setEditText(QStringLiteral("127.0.0.1"));
        f->PortCombo->setEditText(QString::number(panelPort));
        f->Timer1->setInterval(o.lanReconnectMs);
    }

    Peer peer(kind, o, serverPort, pty.get(), listener);
    QEventLoop loop;
    bool connectReturned = false;
    QTimer::singleShot(0, f, [&] {
        f->URLLabel1->Click(); // a cable connection runs inside this click until it ends
        connectReturned = true;
    });
    std::thread worker([&] { peer.run(); });
    QTimer watch;
    watch.setInterval(20);
    int phase = 0;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (phase == 0 && peer.done) {
            phase = 1;
            if (f->URLLabel1->Tag != lsIdle)
                f->URLLabel1->Click(); // the technician ends the session
        } else if (phase == 1 && (kind != Kind::Cable || connectReturned) &&
                   (kind != Kind::Modem || !f->FRing || !f->FRing->HandlerRunning())) {
            phase = 2;
            loop.quit();
        }
    });
    watch.start();
    loop.exec();
    watch.stop();
    worker.join();
    out += peer.checks;
    if (!boxes.isEmpty()) {
        QStringList unique = boxes;
        unique.removeDuplicates();
        const bool expected =
            kind == Kind::Lan && std::all_of(unique.begin(), unique.end(), [](const QString& t) {
                return t == QStringLiteral("Сбой подключения.");
            });
        out.append(
            {label + QStringLiteral(": message boxes"), expected,
             QStringLiteral("%1 boxes: %2").arg(boxes.size()).arg(unique.join(QStringLiteral(" / ")))});
    }
    for (QProcess* setup : f->findChildren<QProcess*>())
        setup->waitForFinished(3000);
    LOGForm->hide();
    DestroyForms();
    if (kind == Kind::Modem)
        SetTickClockForTest(0, 1);
    SetCOMPortEnumeratorForTest({});
    Platform::SetMessageBoxHandler({});
    Platform::SetAppDirForTest(QString());
    Platform::SetTempPathForTest(QString());
    if (listener >= 0)
        ::close(listener);
}

} // namespace

QList<SoakCheck> RunSoak(const SoakOptions& options) {
    QList<SoakCheck> out;
    for (const QString& channel : options.channels) {
        if (channel == QStringLiteral("cable"))
            runChannel(Kind::Cable, options, out);
        else if (channel == QStringLiteral("lan"))
            runChannel(Kind::Lan, options, out);
        else if (channel == QStringLiteral("modem"))
            runChannel(Kind::Modem, options, out);
        else
            out.append({channel, false, QStringLiteral("no such channel")});
    }
    return out;
}
