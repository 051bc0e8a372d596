// The measuring client: round trips, echo and idle against each bridge, and the report.
#include "Bench.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace Bench {

// ---- clocks --------------------------------------------------------------------------------

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

qint64 mainThreadWakeups(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/task/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    return 0;
}

qint64 peakResidentKiB(pid_t pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
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

// ---- placement -------------------------------------------------------------------------------

int bridgeCore() {
    return std::max(0, int(::sysconf(_SC_NPROCESSORS_ONLN)) - 1);
}

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

QString verdict(bool pass) {
    return pass ? QStringLiteral("met") : QStringLiteral("MISSED");
}

// The Qt platform the wizard runs on (the client inherits the bridges' environment).
QString platform() {
    const QString p = qEnvironmentVariable("QT_QPA_PLATFORM");
    return p.isEmpty() ? QStringLiteral("default") : p;
}

// ---- the client's phases ---------------------------------------------------------------------

namespace {

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

// ---- the report ----------------------------------------------------------------------------

void row(const char* what, double kestrom, double socat, const char* unit, bool ratio = true,
         const char* goal = "", const QString& result = {}) {
    const QString r = ratio && socat > 0 ? QStringLiteral("%1x").arg(kestrom / socat, 0, 'f', 2) : QString();
    std::printf("%-32s %9.*f %9.*f  %-5s %6s   %-15s %s\n", what, kestrom < 10 ? 2 : 1, kestrom,
                socat < 10 ? 2 : 1, socat, unit, qPrintable(r), goal, qPrintable(result));
}

int report(const Options& o, Bridge& k, Bridge& s, const Bridge* direct = nullptr) {
    // Read while both bridges still run: the client reports before it lets them go.
    k.peakRssKiB = peakResidentKiB(k.pid);
    s.peakRssKiB = peakResidentKiB(s.pid);
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
    for (const Bridge* b : {static_cast<const Bridge*>(&k), static_cast<const Bridge*>(&s), direct}) {
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
    const double tail = k.percentileUs(0.99) / s.percentileUs(0.99);
    const QString rtGoal = QStringLiteral("<= %1x socat").arg(GoalRoundTrip, 0, 'f', 1);
    const QString tailGoal = QStringLiteral("<= %1x socat").arg(GoalRoundTripP99, 0, 'f', 1);
    row("round trip, median", k.percentileUs(0.5), s.percentileUs(0.5), "us", true, qPrintable(rtGoal),
        verdict(latency <= GoalRoundTrip));
    row("round trip, p99", k.percentileUs(0.99), s.percentileUs(0.99), "us", true, qPrintable(tailGoal),
        verdict(tail <= GoalRoundTripP99));
    row("bridge CPU per round trip", k.cpuUsPerRoundTrip(), s.cpuUsPerRoundTrip(), "us");
    const double throughput = k.throughputMiBs() / s.throughputMiBs();
    row("echo throughput", k.throughputMiBs(), s.throughputMiBs(), "MiB/s", true, ">= 1.0x socat",
        verdict(throughput >= GoalThroughput));
    const double cpu = k.cpuMsPerMiB() / s.cpuMsPerMiB();
    row("bridge CPU per MiB echoed", k.cpuMsPerMiB(), s.cpuMsPerMiB(), "ms", true, "<= 1.0x socat",
        verdict(cpu <= GoalCpuPerMiB));
    row("idle CPU, % of a core", k.idlePercent(), s.idlePercent(), "%", false, "< 0.5%",
        verdict(k.idlePercent() < GoalIdlePercent));
    row("idle wakeups of the relay thread", k.idleWakeupsPerSecond(), s.idleWakeupsPerSecond(), "/s", false);
    const double rssMiB = double(k.peakRssKiB) / 1024;
    row("peak resident set", rssMiB, double(s.peakRssKiB) / 1024, "MiB", false, "< 40 MiB",
        verdict(rssMiB > 0 && rssMiB < GoalPeakRssMiB));
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
    goal("p99 16-byte trip", QStringLiteral("%1x socat").arg(tail, 5, 'f', 2),
         QStringLiteral("<= %1x").arg(GoalRoundTripP99, 0, 'f', 1), tail <= GoalRoundTripP99);
    goal("peak RSS", QStringLiteral("%1 MiB").arg(rssMiB, 5, 'f', 1),
         QStringLiteral("< %1 MiB").arg(GoalPeakRssMiB, 0, 'f', 0), rssMiB > 0 && rssMiB < GoalPeakRssMiB);
    // One line per figure for bench/run.sh, which takes the median over runs.
    const char* path = o.lan ? "lan" : "cable";
    const auto figure = [&](const char* name, double value) {
        std::printf("FIGURE %s %s %s %.4f\n", qPrintable(platform()), path, name, value);
    };
    figure("rt_median_ratio", latency);
    figure("rt_p99_ratio", tail);
    figure("echo_ratio", throughput);
    figure("cpu_mib_ratio", cpu);
    figure("idle_pct", k.idlePercent());
    figure("rss_mib", rssMiB);
    figure("rt_median_us", k.percentileUs(0.5));
    figure("rt_median_us_socat", s.percentileUs(0.5));
    figure("rt_p99_us", k.percentileUs(0.99));
    figure("rt_p99_us_socat", s.percentileUs(0.99));
    figure("echo_mibs", k.throughputMiBs());
    figure("echo_mibs_socat", s.throughputMiBs());
    figure("cpu_ms_mib", k.cpuMsPerMiB());
    figure("cpu_ms_mib_socat", s.cpuMsPerMiB());
    return 0;
}

} // namespace

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

} // namespace Bench
