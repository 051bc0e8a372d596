// relay-bench: the wizard's cable or LAN relay measured side by side with socat.
//
// Two bridges, each between a TCP port on 127.0.0.1 and a panel simulator (a process of
// its own) that echoes every byte, on a pseudo-terminal (cable) or on a TCP port (--lan):
//   Kestrom: the real main window, offscreen in this process, cable or IP channel, the
//            connect link clicked. setup.ini maps the simulator's key to a "setup
//            program" that never connects, so the measuring client is the local server's
//            only connection, the one the device's bytes go to.
//   socat:   TCP-LISTEN relaying to the simulator's pseudo-terminal or TCP port.
// With --lan the client also measures a third simulator directly, without a bridge: what
// the panel alone can do, so that a panel which limits both bridges shows.
// The measuring client is a second copy of this program (--client), outside both
// bridges, like a real setup program. It holds one connection to each bridge and
// alternates between them phase by phase, so that a burst of load from elsewhere on the
// machine falls on both alike. A bridge's CPU time is read from its process's CPU clock.
//
// Phases: round trips of small packets, an echo of a large stream (every byte checked
// for loss and order), repeated for a few rounds; then both connections idle together.
#include "app/AppStartup.h"
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr qsizetype MiB = 1024 * 1024;
// Unmeasured round trips first in each round: the first packets after a pause pay for
// cold caches and sleeping cores.
constexpr int WarmUpRoundTrips = 50;
// A bridge that passes nothing back for this long has lost the bytes it holds.
constexpr double StallSeconds = 10;
constexpr double RoundTripLimitSeconds = 5;
constexpr double ConnectLimitSeconds = 20;

struct Options {
    QString panelSim;
    QString socat = QStringLiteral("socat");
    int rounds = 3;
    int roundTrips = 2000;
    int packet = 16;
    qsizetype echoBytes = 4 * MiB;
    qsizetype window = 256 * 1024;
    int idleSeconds = 10;
    bool logWindow = false;
    // The panels echo through the simulator's event loop instead of its fast poll loop.
    bool simPanel = false;
    // The LAN channel: the panels listen on TCP ports, the wizard connects to one.
    bool lan = false;
    // LAN: socat's two sockets with TCP_NODELAY, as the wizard sets its own.
    bool socatNoDelay = false;
    // Each bridge alone on the last core, the client and the panels on the first.
    bool pin = false;
    // "bytes/ms": the slow-line session instead of the comparison with socat.
    QString slowLine;
    qsizetype slowBytes = 1 * MiB;
};

// The goals, as ratios to socat in the same run.
constexpr double GoalRoundTrip = 1.2;   // median round trip at most this many times socat's
constexpr double GoalThroughput = 1.0;  // echo throughput at least this many times socat's
constexpr double GoalCpuPerMiB = 1.5;   // relay CPU per MiB at most this many times socat's
constexpr double GoalIdlePercent = 0.5; // idle connected, % of a core
constexpr double GoalStallMs = 50;      // longest GUI-thread stall during a slow upload
// socat must reach this through the panel, or the panel is what the bench measures.
constexpr double PanelFloorMBs = 35;

// ---- clocks ------------------------------------------------------------------------------

double now() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// CPU time of a process, all its threads: its CPU clock (nanoseconds), else
// /proc/<pid>/stat (clock ticks).
double processCpuSeconds(pid_t pid) {
    clockid_t clock;
    timespec ts{};
    if (::clock_getcpuclockid(pid, &clock) == 0 && ::clock_gettime(clock, &ts) == 0)
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name (which may hold spaces) start with the state, field 3;
    // utime and stime are fields 14 and 15.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
}

// How often a process's main thread (the one that relays, in both bridges) went to
// sleep and was woken again: its voluntary context switches.
qint64 mainThreadWakeups(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/task/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    return 0;
}

// The bytes sent to one bridge over the whole run: every byte value (0x11 and 0x13
// included, which a line with software flow control would swallow), in an order that
// shows a lost, doubled or swapped piece. "+rb\r" is kept out: the panel takes it for
// its restart command even amid device data.
QByteArray sessionStream(qsizetype size) {
    QByteArray s(size, Qt::Uninitialized);
    quint32 x = 0x2545F491u;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x >> 24);
    }
    for (qsizetype i = s.indexOf("+rb\r"); i >= 0; i = s.indexOf("+rb\r", i))
        s[i] = '-';
    return s;
}

// ---- one bridge as the client sees it ------------------------------------------------------

struct Bridge {
    QString name;
    quint16 port = 0;
    pid_t pid = 0; // the process that relays
    int fd = -1;
    QByteArray stream;
    qsizetype offset = 0; // next byte of the stream to send

    QString setupError;     // the bench could not measure
    QString integrityError; // bytes lost, doubled, altered or reordered
    QString why;            // what the last failed send or receive met

    std::vector<double> roundTripsUs;
    double roundTripCpu = 0;
    std::vector<double> echoRates; // MiB/s, one per round
    double echoCpu = 0;
    qsizetype echoed = 0;
    double idleSeconds = 0;
    double idleCpu = 0;
    qint64 idleWakeups = 0;

    Bridge() = default;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;
    ~Bridge() {
        if (fd >= 0)
            ::close(fd);
    }
    bool healthy() const { return setupError.isEmpty() && integrityError.isEmpty(); }
    double cpu() const { return processCpuSeconds(pid); }

    double percentileUs(double p) const {
        if (roundTripsUs.empty())
            return 0;
        std::vector<double> sorted = roundTripsUs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))];
    }
    double throughputMiBs() const { // the middle round: one disturbed round does not decide
        if (echoRates.empty())
            return 0;
        std::vector<double> sorted = echoRates;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    double cpuMsPerMiB() const { return echoed > 0 ? echoCpu * 1000 / (double(echoed) / double(MiB)) : 0; }
    double cpuUsPerRoundTrip() const {
        return roundTripsUs.empty() ? 0 : roundTripCpu * 1e6 / double(roundTripsUs.size());
    }
    double idlePercent() const { return idleSeconds > 0 ? idleCpu / idleSeconds * 100 : 0; }
    double idleWakeupsPerSecond() const { return idleSeconds > 0 ? double(idleWakeups) / idleSeconds : 0; }
};

// ---- the measuring client ------------------------------------------------------------------

bool fail(Bridge& b, const QString& why) {
    b.why = why;
    return false;
}

bool waitFor(Bridge& b, short events, double deadline) {
    const double left = deadline - now();
    if (left <= 0)
        return fail(b, QStringLiteral("timed out"));
    pollfd p{b.fd, events, 0};
    if (::poll(&p, 1, int(left * 1000) + 1) < 0 && errno != EINTR)
        return fail(b, QString::fromLocal8Bit(strerror(errno)));
    return true;
}

bool sendAll(Bridge& b, const char* data, qsizetype size, double deadline) {
    for (qsizetype done = 0; done < size;) {
        const ssize_t n = ::send(b.fd, data + done, size_t(size - done), MSG_NOSIGNAL);
        if (n > 0)
            done += n;
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return fail(b, QString::fromLocal8Bit(strerror(errno)));
        else if (!waitFor(b, POLLOUT, deadline))
            return false;
    }
    return true;
}

bool receiveExactly(Bridge& b, char* data, qsizetype size, double deadline) {
    for (qsizetype done = 0; done < size;) {
        const ssize_t n = ::recv(b.fd, data + done, size_t(size - done), 0);
        if (n > 0)
            done += n;
        else if (n == 0)
            return fail(b, QStringLiteral("connection closed"));
        else if (errno != EAGAIN && errno != EINTR)
            return fail(b, QString::fromLocal8Bit(strerror(errno)));
        else if (!waitFor(b, POLLIN, deadline))
            return false;
    }
    return true;
}

// Connects to the bridge's port, trying again while it is not listening yet (the wizard
// listens only once the panel has answered its handshake).
bool connectTo(Bridge& b) {
    const double deadline = now() + ConnectLimitSeconds;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(b.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (;;) {
        b.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (b.fd >= 0 && ::connect(b.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            break;
        const int why = errno;
        if (b.fd >= 0)
            ::close(b.fd);
        b.fd = -1;
        if (why != ECONNREFUSED || now() > deadline) {
            b.setupError = QStringLiteral("nothing listens on 127.0.0.1:%1 (%2)")
                               .arg(b.port)
                               .arg(QString::fromLocal8Bit(strerror(why)));
            return false;
        }
        ::poll(nullptr, 0, 20); // the bridge is still starting
    }
    // A setup program's small requests go out at once; the same for both bridges.
    const int on = 1;
    ::setsockopt(b.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(b.fd, F_SETFL, ::fcntl(b.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

// The wizard holds this dialogue itself before it relays; in front of socat the client
// does, so that the panel is in the same state (echoing) for both.
bool handshake(Bridge& b) {
    static const QByteArray request = "+VER_INFO=?\r\n";
    QByteArray answer;
    const double deadline = now() + 5;
    if (sendAll(b, request.constData(), request.size(), deadline)) {
        char c;
        while (!answer.endsWith("OK\r\n") && receiveExactly(b, &c, 1, deadline))
            answer += c;
    }
    if (!answer.endsWith("OK\r\n"))
        b.setupError =
            QStringLiteral("the panel did not answer its version request through the bridge (%1)").arg(b.why);
    return b.setupError.isEmpty();
}

// Sends each packet and waits for its echo before sending the next.
void roundTrips(Bridge& b, const Options& o) {
    std::vector<char> back(size_t(o.packet));
    double cpuStart = 0;
    for (int i = 0; i < WarmUpRoundTrips + o.roundTrips; ++i) {
        if (i == WarmUpRoundTrips)
            cpuStart = b.cpu();
        const char* packet = b.stream.constData() + b.offset;
        b.offset += o.packet;
        const double start = now();
        if (!sendAll(b, packet, o.packet, start + RoundTripLimitSeconds) ||
            !receiveExactly(b, back.data(), o.packet, start + RoundTripLimitSeconds)) {
            b.integrityError = QStringLiteral("a round trip's echo did not come back within %1 s (%2)")
                                   .arg(RoundTripLimitSeconds)
                                   .arg(b.why);
            return;
        }
        const double end = now();
        if (std::memcmp(back.data(), packet, size_t(o.packet)) != 0) {
            b.integrityError = QStringLiteral("a round trip's echo came back altered");
            return;
        }
        if (i >= WarmUpRoundTrips)
            b.roundTripsUs.push_back((end - start) * 1e6);
    }
    b.roundTripCpu += b.cpu() - cpuStart;
}

// Sends the stream and receives its echo at the same time, with at most o.window bytes on
// their way: the simulator drops output it cannot deliver beyond 1 MiB, and a setup
// program does not run that far ahead of its device either.
void echo(Bridge& b, const Options& o) {
    const char* data = b.stream.constData() + b.offset;
    const qsizetype total = o.echoBytes;
    b.offset += total;
    std::vector<char> buffer(64 * 1024);
    qsizetype sent = 0;
    qsizetype got = 0;
    const double cpuStart = b.cpu();
    const double start = now();
    double lastProgress = start;
    while (got < total) {
        const double left = lastProgress + StallSeconds - now();
        if (left <= 0) {
            b.integrityError =
                QStringLiteral("nothing came back for %1 s: %2 of %3 bytes echoed, the rest lost")
                    .arg(StallSeconds)
                    .arg(got)
                    .arg(total);
            return;
        }
        pollfd p{b.fd, POLLIN, 0};
        if (sent < total && sent - got < o.window)
            p.events |= POLLOUT;
        if (::poll(&p, 1, int(left * 1000) + 1) < 0 && errno != EINTR) {
            b.setupError = QStringLiteral("poll: %1").arg(QString::fromLocal8Bit(strerror(errno)));
            return;
        }
        if (p.revents & POLLOUT) {
            const qsizetype want =
                std::min({qsizetype(buffer.size()), total - sent, o.window - (sent - got)});
            const ssize_t n = ::send(b.fd, data + sent, size_t(want), MSG_NOSIGNAL);
            if (n > 0) {
                sent += n;
                lastProgress = now();
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                b.integrityError =
                    QStringLiteral("the bridge dropped the connection after %1 bytes sent").arg(sent);
                return;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(b.fd, buffer.data(), buffer.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                b.integrityError =
                    QStringLiteral("the bridge closed the connection after %1 of %2 bytes echoed")
                        .arg(got)
                        .arg(total);
                return;
            }
            if (n > 0) {
                if (got + n > sent) {
                    b.integrityError = QStringLiteral("%1 bytes came back that were never sent (doubled)")
                                           .arg(got + n - sent);
                    return;
                }
                const auto differs = std::mismatch(buffer.begin(), buffer.begin() + n, data + got).first;
                if (differs != buffer.begin() + n) {
                    b.integrityError =
                        QStringLiteral("echoed byte %1 of %2 differs from the one sent (lost or reordered)")
                            .arg(got + (differs - buffer.begin()))
                            .arg(total);
                    return;
                }
                got += n;
                lastProgress = now();
            }
        }
    }
    b.echoRates.push_back(double(total) / double(MiB) / (now() - start));
    b.echoCpu += b.cpu() - cpuStart;
    b.echoed += total;
}

// Both connections open and quiet for the same seconds: nothing must arrive, and each
// bridge should sleep.
void idleTogether(std::vector<Bridge*> bridges, const Options& o) {
    std::vector<double> cpuStart;
    std::vector<qint64> wakeupsStart;
    for (Bridge* b : bridges) {
        cpuStart.push_back(b->cpu());
        wakeupsStart.push_back(mainThreadWakeups(b->pid));
    }
    const double start = now();
    const double end = start + o.idleSeconds;
    std::vector<pollfd> fds;
    for (Bridge* b : bridges)
        fds.push_back({b->fd, POLLIN, 0});
    for (double t = start; t < end; t = now()) {
        if (::poll(fds.data(), nfds_t(fds.size()), int((end - t) * 1000) + 1) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            char c;
            bridges[i]->integrityError =
                ::recv(fds[i].fd, &c, 1, 0) == 1
                    ? QStringLiteral("bytes came back while nothing was sent (doubled)")
                    : QStringLiteral("the bridge closed the connection while idle");
            fds[i].fd = -1; // poll() passes over it from now on
        }
    }
    for (size_t i = 0; i < bridges.size(); ++i) {
        bridges[i]->idleSeconds = now() - start;
        bridges[i]->idleCpu = bridges[i]->cpu() - cpuStart[i];
        bridges[i]->idleWakeups = mainThreadWakeups(bridges[i]->pid) - wakeupsStart[i];
    }
}

// --pin: where each process runs. A bridge whose wakeups cross cores costs more CPU and
// time than one woken on its own core; left to the scheduler, each bridge's process gets
// its own placement for its lifetime, and the two figures then differ by up to 2x for
// reasons that have nothing to do with the bridge.
constexpr int ClientCore = 0;
int bridgeCore() {
    return std::max(0, int(::sysconf(_SC_NPROCESSORS_ONLN)) - 1);
}

// Every thread of process pid (0: this one) onto one core.
void pinProcess(pid_t pid, int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    const pid_t process = pid > 0 ? pid : ::getpid();
    const QStringList tasks =
        QDir(QStringLiteral("/proc/%1/task").arg(process)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& task : tasks)
        ::sched_setaffinity(pid_t(task.toInt()), sizeof set, &set);
    if (tasks.isEmpty())
        ::sched_setaffinity(process, sizeof set, &set);
}

// ---- the report ----------------------------------------------------------------------------

QString verdict(bool pass) {
    return pass ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// The Qt platform the wizard runs on (the client inherits the bridges' environment).
QString platform() {
    const QString p = qEnvironmentVariable("QT_QPA_PLATFORM");
    return p.isEmpty() ? QStringLiteral("default") : p;
}

void row(const char* what, double kestrom, double socat, const char* unit, bool ratio = true,
         const char* goal = "", const QString& result = {}) {
    const QString r = ratio && socat > 0 ? QStringLiteral("%1x").arg(kestrom / socat, 0, 'f', 2) : QString();
    std::printf("%-32s %9.*f %9.*f  %-5s %6s   %-15s %s\n", what, kestrom < 10 ? 2 : 1, kestrom,
                socat < 10 ? 2 : 1, socat, unit, qPrintable(r), goal, qPrintable(result));
}

int report(const Options& o, const Bridge& k, const Bridge& s, const Bridge* direct = nullptr) {
    std::printf("\n%s relay benchmark, %s, %ld cores, QT_QPA_PLATFORM=%s, %s panel%s\n",
                o.lan ? "LAN" : "Cable", qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
                ::sysconf(_SC_NPROCESSORS_ONLN), qPrintable(platform()),
                o.simPanel ? "event-loop" : "poll-loop",
                !o.lan           ? ""
                : o.socatNoDelay ? " on TCP, socat with nodelay"
                                 : " on TCP, socat without nodelay");
    if (o.pin)
        std::printf("pinned: each bridge on core %d, the client and the panels on core %d\n", bridgeCore(),
                    ClientCore);
    std::printf("%d rounds of %d round trips of %d bytes and a %.1f MiB echo (at most %lld KiB on the way), "
                "then %d s idle\n\n",
                o.rounds, o.roundTrips, o.packet, double(o.echoBytes) / double(MiB),
                static_cast<long long>(o.window / 1024), o.idleSeconds);
    bool broken = false;
    for (const Bridge* b : {&k, &s, direct}) {
        if (!b)
            continue;
        if (!b->setupError.isEmpty())
            std::printf("%s: SETUP FAILED: %s\n", qPrintable(b->name), qPrintable(b->setupError));
        if (!b->integrityError.isEmpty())
            std::printf("%s: BYTES LOST OR REORDERED: %s\n", qPrintable(b->name),
                        qPrintable(b->integrityError));
        broken = broken || !b->healthy() || (b != direct && b->idleSeconds <= 0);
    }
    if (broken)
        return 1;

    std::printf("%-32s %9s %9s  %-5s %6s   %s\n", "", "Kestrom", "socat", "", "ratio", "goal");
    const double latency = k.percentileUs(0.5) / s.percentileUs(0.5);
    row("round trip, median", k.percentileUs(0.5), s.percentileUs(0.5), "us", true, "<= 1.2x socat",
        verdict(latency <= GoalRoundTrip));
    row("round trip, p99", k.percentileUs(0.99), s.percentileUs(0.99), "us");
    row("bridge CPU per round trip", k.cpuUsPerRoundTrip(), s.cpuUsPerRoundTrip(), "us");
    const double throughput = k.throughputMiBs() / s.throughputMiBs();
    row("echo throughput", k.throughputMiBs(), s.throughputMiBs(), "MiB/s", true, ">= 1.0x socat",
        verdict(throughput >= GoalThroughput));
    const double cpu = k.cpuMsPerMiB() / s.cpuMsPerMiB();
    row("bridge CPU per MiB echoed", k.cpuMsPerMiB(), s.cpuMsPerMiB(), "ms", true, "<= 1.5x socat",
        verdict(cpu <= GoalCpuPerMiB));
    row("idle CPU, % of a core", k.idlePercent(), s.idlePercent(), "%", false, "< 0.5%",
        verdict(k.idlePercent() < GoalIdlePercent));
    row("idle wakeups of the relay thread", k.idleWakeupsPerSecond(), s.idleWakeupsPerSecond(), "/s", false);
    std::printf("%-32s %9s %9s  %-5s %6s   %-15s %s\n", "bytes lost or reordered", "none", "none", "", "",
                "none", "met");
    QStringList rates;
    for (const Bridge* b : {&k, &s}) {
        QStringList each;
        for (double rate : b->echoRates)
            each << QString::number(rate, 'f', 1);
        rates << b->name + QLatin1Char(' ') + each.join(QLatin1Char('/'));
    }
    std::printf("\nthroughput of each round, MiB/s: %s\n", qPrintable(rates.join(QStringLiteral(", "))));
    if (direct) {
        // The panel without a bridge: a bridge cannot be faster than this, and socat far
        // below it means the bridges, not the panel, are what is measured.
        std::printf("panel alone (client straight to a third panel-sim): round trip median %.1f us, "
                    "echo %.1f MiB/s at %.1f ms of panel CPU per MiB; socat reaches %.0f %% of it\n",
                    direct->percentileUs(0.5), direct->throughputMiBs(), direct->cpuMsPerMiB(),
                    direct->throughputMiBs() > 0 ? s.throughputMiBs() / direct->throughputMiBs() * 100 : 0.0);
    } else {
        // MB/s as the goal states it (10^6 bytes).
        const double socatMBs = s.throughputMiBs() * double(MiB) / 1e6;
        std::printf(
            "socat through the panel: %.1f MB/s, goal >= %.0f MB/s (else the panel is the bottleneck): %s\n",
            socatMBs, PanelFloorMBs, qPrintable(verdict(socatMBs >= PanelFloorMBs)));
    }
    // The LAN lines name their channel; the cable ones stay as they always were.
    const char* lan = o.lan ? "lan " : "";
    const int pad = o.lan ? 19 : 22;
    const auto goal = [&](const char* what, const QString& figure, const QString& bound, bool met) {
        std::printf("GOAL %-8s %s%-*s %-13s (%s)  %s\n", qPrintable(platform()), lan, pad, what,
                    qPrintable(figure), qPrintable(bound), qPrintable(verdict(met)));
    };
    std::printf("\n");
    goal("echo throughput", QStringLiteral("%1x socat").arg(throughput, 5, 'f', 2),
         QStringLiteral(">= %1x").arg(GoalThroughput, 0, 'f', 1), throughput >= GoalThroughput);
    goal("relay CPU per MiB", QStringLiteral("%1x socat").arg(cpu, 5, 'f', 2),
         QStringLiteral("<= %1x").arg(GoalCpuPerMiB, 0, 'f', 1), cpu <= GoalCpuPerMiB);
    goal(o.packet == 16 ? "median 16-byte trip" : "median round trip",
         QStringLiteral("%1x socat").arg(latency, 5, 'f', 2),
         QStringLiteral("<= %1x").arg(GoalRoundTrip, 0, 'f', 1), latency <= GoalRoundTrip);
    goal("idle connected", QStringLiteral("%1% core").arg(k.idlePercent(), 5, 'f', 2),
         QStringLiteral("< %1%").arg(GoalIdlePercent, 0, 'f', 1), k.idlePercent() < GoalIdlePercent);
    return 0;
}

// The slow-line session's client: the whole upload sent at once, as fast as the wizard
// takes it, while the panel's echo (at the line's pace) comes back and is checked.
int runSlowClient(const Options& o, Bridge& k) {
    k.stream = sessionStream(o.slowBytes);
    Options whole = o;
    whole.echoBytes = o.slowBytes;
    whole.window = o.slowBytes;
    if (connectTo(k))
        echo(k, whole);
    if (!k.setupError.isEmpty() || !k.integrityError.isEmpty()) {
        std::printf("slow line %s: %s\n", qPrintable(o.slowLine),
                    qPrintable(k.setupError.isEmpty() ? k.integrityError : k.setupError));
        return 1;
    }
    const double rate = k.throughputMiBs() * double(MiB) / 1000;
    std::printf("\nslow line %s (panel takes at most that many bytes per ms), QT_QPA_PLATFORM=%s\n",
                qPrintable(o.slowLine), qPrintable(platform()));
    std::printf("upload of %lld KiB sent at once: echoed whole and in order, %.1f s, %.1f kB/s\n",
                static_cast<long long>(o.slowBytes / 1024), double(o.slowBytes) / 1000 / rate, rate);
    return 0;
}

// The client's side of the run; its exit status is the bench's. `direct`, when there is
// one, is a panel without a bridge, measured after the two bridges in every phase.
int runClient(const Options& o, Bridge& k, Bridge& s, Bridge* direct) {
    const qsizetype streamSize =
        qsizetype(o.rounds) * ((WarmUpRoundTrips + o.roundTrips) * o.packet + o.echoBytes);
    k.stream = s.stream = sessionStream(streamSize);
    if (direct)
        direct->stream = k.stream;
    const auto healthy = [&] { return k.healthy() && s.healthy() && (!direct || direct->healthy()); };
    // The wizard first: it may still be talking to its panel, and reaches the connected
    // state only once its server listens.
    if (!connectTo(k) || !connectTo(s) || !handshake(s) ||
        (direct && (!connectTo(*direct) || !handshake(*direct))))
        return report(o, k, s, direct);
    for (int round = 0; round < o.rounds; ++round) {
        // Which bridge goes first changes every round: load that grows or fades over a
        // round then favours neither.
        Bridge* first = round % 2 == 0 ? &k : &s;
        Bridge* second = first == &k ? &s : &k;
        for (const auto& phase : {roundTrips, echo}) {
            for (Bridge* b : {first, second, direct}) {
                if (b && healthy())
                    phase(*b, o);
            }
        }
    }
    if (healthy())
        idleTogether({&k, &s}, o);
    return report(o, k, s, direct);
}

// ---- the bridges' side -----------------------------------------------------------------------
//
// The helpers (simulators, socat, the client) are started with posix_spawn, not QProcess:
// a QProcess adds its descriptors to every pass of the event loop the wizard relays in,
// a cost the real program does not have.

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        stop();
        if (m_stdout >= 0)
            ::close(m_stdout);
    }

    // Starts program with arguments; its stdout goes to a pipe when captureStdout.
    bool start(const QString& program, const QStringList& arguments, bool captureStdout, QString& error) {
        std::vector<QByteArray> storage{QFile::encodeName(program)};
        for (const QString& a : arguments)
            storage.push_back(a.toLocal8Bit());
        std::vector<char*> argv;
        for (QByteArray& a : storage)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        int out[2] = {-1, -1};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (captureStdout) {
            if (::pipe2(out, O_CLOEXEC) != 0) {
                error = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                return false;
            }
            posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        }
        const int rc = ::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (captureStdout) {
            ::close(out[1]);
            m_stdout = out[0];
        }
        if (rc != 0) {
            m_pid = -1;
            error = QStringLiteral("%1: %2").arg(program, QString::fromLocal8Bit(strerror(rc)));
            return false;
        }
        return true;
    }

    // The first line the program prints, waited for at most five seconds.
    QByteArray firstLine() {
        QByteArray text;
        const double deadline = now() + 5;
        while (!text.contains('\n') && now() < deadline) {
            pollfd p{m_stdout, POLLIN, 0};
            if (::poll(&p, 1, int((deadline - now()) * 1000) + 1) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(m_stdout, buffer, sizeof buffer);
            if (n <= 0)
                break;
            text.append(buffer, n);
        }
        return text.left(text.indexOf('\n'));
    }

    pid_t pid() const { return m_pid; }

    // Waits up to `seconds` for the program to end; its exit status, -1 while it runs.
    int wait(double seconds) {
        const double deadline = now() + seconds;
        while (m_pid > 0) {
            int status = 0;
            const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid || (r < 0 && errno != EINTR)) {
                m_pid = -1;
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
                break;
            }
            if (now() >= deadline)
                return -1;
            ::poll(nullptr, 0, 10);
        }
        return m_status;
    }

    // Asks the program to end (the simulator then removes its link), and makes it.
    void stop() {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGTERM);
        if (wait(3) < 0) {
            ::kill(m_pid, SIGKILL);
            wait(3);
        }
    }

  private:
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_status = -1;
};

int fatal(const QString& what) {
    std::fprintf(stderr, "relay-bench: SETUP FAILED: %s\n", qPrintable(what));
    return 1;
}

// panel-sim on a pseudo-terminal named by a symlink, echoing once its dialogue is over.
// Its fast poll loop unless --sim-panel; the slow line's drain for the slow session.
bool startPanel(ChildProcess& panel, const Options& o, const QString& link, QString& error) {
    QStringList args{QStringLiteral("--pty"), link, QStringLiteral("--quiet")};
    if (!o.slowLine.isEmpty())
        args << QStringLiteral("--drain") << o.slowLine;
    else if (!o.simPanel)
        args << QStringLiteral("--fast");
    if (!panel.start(o.panelSim, args, true, error))
        return false;
    // The first line is the port's name; the link exists once it is printed.
    const QString said = QString::fromLocal8Bit(panel.firstLine());
    if (said != link)
        error = QStringLiteral("%1 did not present %2 (said \"%3\")").arg(o.panelSim, link, said);
    return said == link;
}

// panel-sim on a free TCP port of 127.0.0.1, echoing once its dialogue is over (its fast
// poll loop unless --sim-panel); the port it serves on in `port`.
bool startTcpPanel(ChildProcess& panel, const Options& o, quint16& port, QString& error) {
    QStringList args{QStringLiteral("--tcp"), QStringLiteral("0"), QStringLiteral("--quiet")};
    if (!o.simPanel)
        args << QStringLiteral("--fast");
    if (!panel.start(o.panelSim, args, true, error))
        return false;
    // The first line is "127.0.0.1:<port>", printed once it listens.
    const QString said = QString::fromLocal8Bit(panel.firstLine());
    const QString host = QStringLiteral("127.0.0.1:");
    bool ok = false;
    port = said.startsWith(host) ? quint16(said.mid(host.size()).toUInt(&ok)) : 0;
    if (!ok || port == 0)
        error = QStringLiteral("%1 --tcp 0 did not present a port (said \"%2\")").arg(o.panelSim, said);
    return ok && port != 0;
}

// Sets up both bridges, starts the client on them and relays for Kestrom until the
// client has finished.
int runBridges(const Options& o, const QStringList& arguments) {
    QTemporaryDir work;
    if (!work.isValid())
        return fatal(QStringLiteral("no temporary directory"));
    const QString socatLink = work.filePath(QStringLiteral("ttySOCAT"));
    const QString kestromLink = work.filePath(QStringLiteral("ttyKESTROM"));
    const QString appDir = work.filePath(QStringLiteral("app"));
    const QString configDir = work.filePath(QStringLiteral("config"));
    const QString tempDir = work.filePath(QStringLiteral("temp"));
    for (const QString& dir : {appDir, configDir, tempDir})
        QDir().mkpath(dir);

    // The slow-line session measures the wizard alone: its window's stalls, its delivery.
    const bool slow = !o.slowLine.isEmpty();
    QString error;
    ChildProcess socatPanel;
    ChildProcess kestromPanel;
    // LAN: a third panel the client reaches without a bridge.
    ChildProcess directPanel;
    quint16 socatPanelPort = 0;
    quint16 kestromPanelPort = 0;
    quint16 directPanelPort = 0;
    if (o.pin) // this process relays for Kestrom; its helpers are placed as they start
        pinProcess(0, bridgeCore());
    if (o.lan) {
        if (!startTcpPanel(socatPanel, o, socatPanelPort, error) ||
            !startTcpPanel(kestromPanel, o, kestromPanelPort, error) ||
            !startTcpPanel(directPanel, o, directPanelPort, error))
            return fatal(error);
    } else if ((!slow && !startPanel(socatPanel, o, socatLink, error)) ||
               !startPanel(kestromPanel, o, kestromLink, error)) {
        return fatal(error);
    }

    // socat serves one connection and then ends. Cable: rawer, raw mode and echo off, as
    // the wizard sets the port. LAN: a connection of its own to its panel; by default
    // with Nagle's algorithm on, as socat has it, with --socat-nodelay off on both sides.
    const quint16 socatPort = freePort();
    ChildProcess socat;
    const QString noDelay = o.socatNoDelay ? QStringLiteral(",nodelay") : QString();
    const QString socatTarget = o.lan ? QStringLiteral("TCP:127.0.0.1:%1%2").arg(socatPanelPort).arg(noDelay)
                                      : QStringLiteral("FILE:%1,rawer").arg(socatLink);
    if (!slow &&
        !socat.start(o.socat,
                     {QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr%2").arg(socatPort).arg(noDelay),
                      socatTarget},
                     false, error))
        return fatal(error);
    if (o.pin) {
        for (const ChildProcess* panel : {&socatPanel, &kestromPanel, &directPanel})
            if (panel->pid() > 0)
                pinProcess(panel->pid(), ClientCore);
        if (socat.pid() > 0)
            pinProcess(socat.pid(), bridgeCore());
    }

    // The simulator's device key leads to a "setup program" that never connects: the
    // measuring client is then the server's only connection, the one device bytes go to.
    QFile ini(appDir + QStringLiteral("/setup.ini"));
    QFile idler(appDir + QStringLiteral("/idle-setup"));
    if (!ini.open(QIODevice::WriteOnly) || !idler.open(QIODevice::WriteOnly))
        return fatal(QStringLiteral("cannot write into %1").arg(appDir));
    ini.write("OLDCONNECT=0\r\nSP=0\r\nRB=1\r\nSIMPANEL=idle-setup\r\n");
    ini.close();
    idler.write("#!/bin/sh\nexec sleep 600\n");
    idler.close();
    idler.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, configDir);
    Platform::SetAppDirForTest(appDir);
    Platform::SetTempPathForTest(tempDir);
    QStringList boxes;
    Platform::SetMessageBoxHandler([&boxes](const Platform::BoxRecord& box) { boxes << box.text; });
    // Pseudo-terminals are no serial ports of the machine; the wizard is shown this one.
    SetCOMPortEnumeratorForTest([kestromLink] { return QStringList{kestromLink}; });

    CreateForms();
    TMainKestromForm* f = MainKestromForm;
    f->show();
    if (o.logWindow)
        LOGForm->show();
    f->ConnectTypeComboBox->setCurrentIndex(o.lan ? chIP : chCable);
    f->ConnectTypeComboBoxChange();
    const quint16 kestromPort = freePort();
    TCPServerSettingsForm->PortEdit->setText(QString::number(kestromPort));
    if (o.lan) {
        // The panel's address as the user types it into the boxes.
        f->IPCombo->setEditText(QStringLiteral("127.0.0.1"));
        f->PortCombo->setEditText(QString::number(kestromPanelPort));
    } else if (f->PortsListComboBox->currentText() != kestromLink) {
        DestroyForms();
        return fatal(QStringLiteral("the wizard does not offer the port %1").arg(kestromLink));
    }

    // The client inherits the write end of this pipe and holds it until it exits; the
    // read end then reports end of file. The write end is closed here at once, so that
    // no later child (the wizard's setup program) inherits it.
    int done[2];
    if (::pipe2(done, O_CLOEXEC) != 0) {
        DestroyForms();
        return fatal(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    }
    ::fcntl(done[1], F_SETFD, 0);
    ChildProcess client;
    QStringList clientArgs = arguments + QStringList{QStringLiteral("--client"),
                                                     QStringLiteral("--kestrom=%1:%2").arg(kestromPort).arg(::getpid())};
    if (!slow)
        clientArgs << QStringLiteral("--socat-bridge=%1:%2").arg(socatPort).arg(socat.pid());
    if (o.lan)
        clientArgs << QStringLiteral("--panel-direct=%1:%2").arg(directPanelPort).arg(directPanel.pid());
    const bool clientStarted = client.start(QCoreApplication::applicationFilePath(), clientArgs, false, error);
    if (clientStarted && o.pin)
        pinProcess(client.pid(), ClientCore);
    ::close(done[1]);
    if (!clientStarted) {
        ::close(done[0]);
        DestroyForms();
        return fatal(error);
    }

    // When the client is done the user ends the connection: a click on the link, which
    // reads "Отключить" once connected. The cable channel's click returns when its relay
    // has ended; the LAN channel's at once, its relay then runs in this event loop.
    QEventLoop lanSession;
    QTimer hangUp;
    hangUp.setInterval(50);
    QObject::connect(&hangUp, &QTimer::timeout, f, [f, &hangUp, &lanSession, &o] {
        if (o.lan) {
            // Connected, it reads "Отключить" in its connecting state; idle, the channel
            // gave up by itself.
            hangUp.stop();
            if (f->URLLabel1->Tag != lsIdle)
                f->URLLabel1->Click();
            lanSession.quit();
        } else if (f->URLLabel1->Tag == lsConnected) {
            hangUp.stop();
            f->URLLabel1->Click();
        }
    });
    // The window's responsiveness: the largest gap between two ticks of a 10 ms timer on
    // the GUI thread (where the relay runs) while the client is connected and working.
    bool clientFinished = false;
    double lastTick = 0;
    double longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout, f, [&] {
        const double t = now();
        if (!f->FConnected || !f->FSetupConnected || clientFinished) {
            lastTick = 0;
            return;
        }
        if (lastTick > 0)
            longestGap = std::max(longestGap, t - lastTick);
        lastTick = t;
    });
    // Only where the stall is measured: a 10 ms timer would itself cost the idle and
    // round-trip figures of the comparison.
    if (slow)
        ticker.start();
    QSocketNotifier clientDone(done[0], QSocketNotifier::Read);
    QObject::connect(&clientDone, &QSocketNotifier::activated, &hangUp, [&] {
        clientDone.setEnabled(false);
        clientFinished = true;
        hangUp.start();
    });

    f->URLLabel1->Click(); // cable: returns when the connection is over
    if (o.lan)
        lanSession.exec();
    ticker.stop();

    hangUp.stop();
    clientDone.setEnabled(false);
    ::close(done[0]);
    int status = client.wait(0);
    if (status < 0) { // the wizard gave up first
        client.stop();
        status = 1;
    }
    if (!boxes.isEmpty()) {
        std::fprintf(stderr, "relay-bench: the wizard said: %s\n",
                     qPrintable(boxes.join(QStringLiteral(" / "))));
        status = 1;
    }
    const double stallMs = longestGap * 1000;
    if (slow && status == 0) {
        std::printf("longest GUI-thread stall (gap between ticks of a 10 ms timer): %.1f ms\n", stallMs);
        std::printf("\nGOAL %-8s slow-line GUI stall    %5.1f ms      (<= %.0f ms)  %s\n", qPrintable(platform()),
                    stallMs, GoalStallMs, qPrintable(verdict(stallMs <= GoalStallMs)));
    }
    std::fflush(stdout);
    // The wizard killed its setup program on the way out; it is reaped before its parent,
    // the window, goes.
    for (QProcess* setup : f->findChildren<QProcess*>())
        setup->waitForFinished(3000);
    DestroyForms();
    SetCOMPortEnumeratorForTest({});
    Platform::SetMessageBoxHandler({});
    socat.wait(3); // it ends with its connection
    return status;
}

// "port:pid" of a bridge, as the bridges' side hands it to the client.
bool parseBridge(const QString& text, Bridge& b) {
    const QStringList parts = text.split(QLatin1Char(':'));
    bool portOk = false;
    bool pidOk = false;
    if (parts.size() == 2) {
        b.port = quint16(parts[0].toUInt(&portOk));
        b.pid = pid_t(parts[1].toInt(&pidOk));
    }
    return portOk && pidOk && b.port != 0 && b.pid > 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // The client needs no windows; the bridges' side runs the wizard's offscreen.
    const bool clientMode =
        std::any_of(argv + 1, argv + argc, [](const char* a) { return !std::strcmp(a, "--client"); });
    if (!clientMode && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!clientMode)
        AppStartup::ChooseEventLoop(); // the wizard's event loop, as the program has it
    std::unique_ptr<QCoreApplication> app(clientMode ? new QCoreApplication(argc, argv)
                                                     : new QApplication(argc, argv));
    AppStartup::EndEventLoopChoice();
    QCoreApplication::setApplicationName(QStringLiteral("relay-bench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the wizard's cable relay (or with --lan its LAN relay) and socat side by side,\n"
        "between the same TCP client and a panel simulator echoing on a pseudo-terminal (or a TCP\n"
        "port). Exit status 1 only when bytes were lost or reordered or the bench could not run;\n"
        "missed goals are reported, not failed."));
    parser.addHelpOption();
    const QString bridgeOnly = QStringLiteral("port:pid");
    QCommandLineOption kestromBridge(QStringLiteral("kestrom"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption socatBridge(QStringLiteral("socat-bridge"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption panelDirect(QStringLiteral("panel-direct"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption client(QStringLiteral("client"),
                              QStringLiteral("(internal) Be the measuring client."));
    for (QCommandLineOption* internal : {&kestromBridge, &socatBridge, &panelDirect, &client})
        internal->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({
        {QStringLiteral("panel-sim"),
         QStringLiteral("The panel simulator (default: panel-sim beside this program)."),
         QStringLiteral("path")},
        {QStringLiteral("socat"), QStringLiteral("socat to compare with (default: socat on PATH)."),
         QStringLiteral("path")},
        {QStringLiteral("rounds"), QStringLiteral("Rounds of round trips and echo, per bridge (default 3)."),
         QStringLiteral("n")},
        {QStringLiteral("round-trips"), QStringLiteral("Measured round trips per round (default 2000)."),
         QStringLiteral("n")},
        {QStringLiteral("packet"), QStringLiteral("Bytes per round trip (default 16)."),
         QStringLiteral("bytes")},
        {QStringLiteral("echo-mib"), QStringLiteral("MiB echoed per round (default 4)."),
         QStringLiteral("n")},
        {QStringLiteral("window"), QStringLiteral("Most KiB on their way during the echo (default 256)."),
         QStringLiteral("KiB")},
        {QStringLiteral("idle"), QStringLiteral("Seconds connected and idle (default 10)."),
         QStringLiteral("s")},
        {QStringLiteral("log-window"),
         QStringLiteral("Show the wizard's traffic log while it relays (a technician watching).")},
        {QStringLiteral("lan"),
         QStringLiteral(
             "The LAN relay: channel \"IP\", the panels (panel-sim --tcp) on TCP ports of 127.0.0.1, "
             "socat relaying TCP to TCP; and the panel measured alone.")},
        {QStringLiteral("socat-nodelay"),
         QStringLiteral(
             "With --lan: socat's sockets with TCP_NODELAY (nodelay on both addresses), as the wizard "
             "sets its own; socat's default leaves Nagle's algorithm on.")},
        {QStringLiteral("pin"),
         QStringLiteral(
             "Each bridge on the last core, the client and the panels on the first (same placement for "
             "both bridges).")},
        {QStringLiteral("sim-panel"),
         QStringLiteral("Panels echo through the simulator's event loop (slower) instead of its poll loop.")},
        {QStringLiteral("slow-line"),
         QStringLiteral(
             "Instead of the comparison: a panel that takes at most <bytes> every <ms> (100/10 is about "
             "10 kB/s), an upload sent at once, the window's longest stall meanwhile."),
         QStringLiteral("bytes/ms")},
        {QStringLiteral("slow-kib"), QStringLiteral("KiB uploaded over the slow line (default 1024)."),
         QStringLiteral("KiB")},
        kestromBridge,
        socatBridge,
        panelDirect,
        client,
    });
    parser.process(*app);

    Options o;
    o.panelSim = parser.isSet(QStringLiteral("panel-sim"))
                     ? parser.value(QStringLiteral("panel-sim"))
                     : QCoreApplication::applicationDirPath() + QStringLiteral("/panel-sim");
    if (parser.isSet(QStringLiteral("socat")))
        o.socat = parser.value(QStringLiteral("socat"));
    o.logWindow = parser.isSet(QStringLiteral("log-window"));
    o.simPanel = parser.isSet(QStringLiteral("sim-panel"));
    o.lan = parser.isSet(QStringLiteral("lan"));
    o.socatNoDelay = parser.isSet(QStringLiteral("socat-nodelay"));
    o.pin = parser.isSet(QStringLiteral("pin"));
    o.slowLine = parser.value(QStringLiteral("slow-line"));
    if (o.lan && !o.slowLine.isEmpty()) {
        std::fprintf(stderr, "relay-bench: --slow-line is a cable session; it does not go with --lan\n");
        return 2;
    }
    const auto number = [&parser](const char* name, int fallback, int least, int most) {
        if (!parser.isSet(QLatin1String(name)))
            return fallback;
        bool ok = false;
        const int value = parser.value(QLatin1String(name)).toInt(&ok);
        if (!ok || value < least || value > most) {
            std::fprintf(stderr, "relay-bench: --%s takes a number from %d to %d\n", name, least, most);
            std::exit(2);
        }
        return value;
    };
    o.rounds = number("rounds", o.rounds, 1, 100);
    o.roundTrips = number("round-trips", o.roundTrips, 1, 1000000);
    o.packet = number("packet", o.packet, 1, 4096);
    o.echoBytes = qsizetype(number("echo-mib", 4, 1, 256)) * MiB;
    o.window = qsizetype(number("window", 256, 1, 1024)) * 1024;
    o.idleSeconds = number("idle", o.idleSeconds, 1, 600);
    o.slowBytes = qsizetype(number("slow-kib", 1024, 1, 65536)) * 1024;

    if (parser.isSet(client)) {
        Bridge k;
        Bridge s;
        k.name = QStringLiteral("Kestrom");
        s.name = QStringLiteral("socat");
        Bridge d;
        d.name = QStringLiteral("panel alone");
        if (!parseBridge(parser.value(kestromBridge), k) ||
            (o.slowLine.isEmpty() && !parseBridge(parser.value(socatBridge), s)) ||
            (o.lan && !parseBridge(parser.value(panelDirect), d))) {
            std::fprintf(stderr, "relay-bench: --client needs --kestrom, --socat-bridge (and with --lan "
                                 "--panel-direct) as port:pid\n");
            return 2;
        }
        return o.slowLine.isEmpty() ? runClient(o, k, s, o.lan ? &d : nullptr) : runSlowClient(o, k);
    }
    return runBridges(o, QCoreApplication::arguments().mid(1));
}
