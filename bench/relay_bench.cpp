// relay-bench: the wizard's cable relay measured side by side with socat.
//
// Both bridges stand between the same measuring client (a TCP client on 127.0.0.1) and a
// panel simulator that echoes every byte on a pseudo-terminal. The simulator always runs
// as a process of its own, so its CPU time is never counted as the bridge's.
//
//   Kestrom: the real main window, offscreen in this process, cable channel, the connect
//            link clicked. setup.ini maps the simulator's key to a program that never
//            connects, so the measuring client (a thread of its own) is the only
//            connection of the local server, the one the device's bytes go to.
//            Bridge CPU = this process's CPU minus the measuring thread's.
//   socat:   TCP-LISTEN on 127.0.0.1 relaying to the simulator's pseudo-terminal.
//            Bridge CPU = socat's process CPU clock.
//
// Phases, each on the same connection: round trips of small packets, an echo of a large
// stream (every byte checked for loss and order), then the connection left idle.
#include "app/MainFormUnit.h"
#include "app/Platform.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr qsizetype MiB = 1024 * 1024;
// Unmeasured round trips first: the first packets pay for lazy allocations and cold caches.
constexpr int WarmUpRoundTrips = 50;
// A bridge that passes nothing back for this long has lost the bytes it holds.
constexpr double StallSeconds = 10;
constexpr double RoundTripLimitSeconds = 5;
constexpr double ConnectLimitSeconds = 20;

struct Options {
    QString panelSim;
    QString socat = QStringLiteral("socat");
    int roundTrips = 2000;
    int packet = 16;
    qsizetype echoBytes = 4 * MiB;
    qsizetype window = 256 * 1024;
    int idleSeconds = 10;
    bool logWindow = false;
};

// ---- clocks ------------------------------------------------------------------------------

double clockSeconds(clockid_t clock) {
    timespec ts{};
    if (::clock_gettime(clock, &ts) != 0)
        return 0;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double now() {
    return clockSeconds(CLOCK_MONOTONIC);
}

// CPU time of another process: its CPU clock (nanoseconds), else /proc/<pid>/stat (ticks).
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
    const double ticks = double(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

// How often a thread went to sleep and was woken: voluntary context switches.
qint64 voluntarySwitches(const QString& statusPath) {
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
    return 0;
}

// What the measuring client reads of the bridge it measures.
struct BridgeProbe {
    std::function<double()> cpuSeconds;
    std::function<qint64()> wakeups; // of the thread that relays
};

// ---- results -------------------------------------------------------------------------------

struct Results {
    QString name;
    QString setupError;     // the bench could not measure
    QString integrityError; // bytes lost, doubled, altered or reordered
    std::vector<double> roundTripsUs;
    double roundTripCpu = 0;
    double echoSeconds = 0;
    double echoCpu = 0;
    qsizetype echoed = 0;
    double idleSeconds = 0;
    double idleCpu = 0;
    qint64 idleWakeups = 0;

    bool complete() const { return setupError.isEmpty() && integrityError.isEmpty() && idleSeconds > 0; }
    double percentile(double p) const {
        if (roundTripsUs.empty())
            return 0;
        std::vector<double> sorted = roundTripsUs;
        std::sort(sorted.begin(), sorted.end());
        const size_t at = std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5));
        return sorted[at];
    }
    double throughputMiBs() const { return echoSeconds > 0 ? double(echoed) / double(MiB) / echoSeconds : 0; }
    double cpuMsPerMiB() const { return echoed > 0 ? echoCpu * 1000 / (double(echoed) / double(MiB)) : 0; }
    double cpuUsPerRoundTrip() const {
        return roundTripsUs.empty() ? 0 : roundTripCpu * 1e6 / double(roundTripsUs.size());
    }
    double idlePercent() const { return idleSeconds > 0 ? idleCpu / idleSeconds * 100 : 0; }
    double idleWakeupsPerSecond() const { return idleSeconds > 0 ? double(idleWakeups) / idleSeconds : 0; }
};

// The bytes the client sends over one session: every byte value (0x11 and 0x13 included,
// which a line with software flow control would swallow), in an order that shows a lost,
// doubled or swapped piece. "+rb\r" is kept out: the panel takes it for its restart command
// even amid device data.
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

// ---- the measuring client ------------------------------------------------------------------

class MeasuringClient {
  public:
    MeasuringClient() = default;
    MeasuringClient(const MeasuringClient&) = delete;
    MeasuringClient& operator=(const MeasuringClient&) = delete;
    ~MeasuringClient() { close(); }

    // Connects to 127.0.0.1:port, trying again while the port is not listening yet.
    bool connectTo(quint16 port, const std::function<bool()>& keepTrying, QString& error) {
        const double deadline = now() + ConnectLimitSeconds;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (;;) {
            m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (m_fd < 0) {
                error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                return false;
            }
            if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                break;
            const int why = errno;
            close();
            if (why != ECONNREFUSED || now() > deadline || !keepTrying()) {
                error = QStringLiteral("no bridge listening on 127.0.0.1:%1 (%2)")
                            .arg(port)
                            .arg(QString::fromLocal8Bit(strerror(why)));
                return false;
            }
            ::poll(nullptr, 0, 20); // the bridge is still starting
        }
        // A setup program's small requests go out at once; the same for both bridges.
        const int on = 1;
        ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        return true;
    }

    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // The wizard does this dialogue itself before it relays; in front of socat the client
    // does it, so that the panel is in the same state (echoing) for both.
    bool handshake(QString& error) {
        static const QByteArray request = "+VER_INFO=?\r\n";
        if (!sendAll(request.constData(), request.size(), now() + 5)) {
            error = QStringLiteral("version request not sent");
            return false;
        }
        QByteArray answer;
        const double deadline = now() + 5;
        while (!answer.endsWith("OK\r\n")) {
            char c;
            if (!receiveExactly(&c, 1, deadline)) {
                error =
                    QStringLiteral("the panel did not answer the version request through the bridge: \"%1\"")
                        .arg(QString::fromLatin1(answer.toPercentEncoding()));
                return false;
            }
            answer += c;
        }
        return true;
    }

    // Sends each packet and waits for its echo before the next.
    void roundTrips(const Options& o, const QByteArray& stream, qsizetype& offset, const BridgeProbe& probe,
                    Results& r) {
        std::vector<char> back(size_t(o.packet));
        double cpuStart = 0;
        for (int i = 0; i < WarmUpRoundTrips + o.roundTrips; ++i) {
            if (i == WarmUpRoundTrips)
                cpuStart = probe.cpuSeconds();
            const char* packet = stream.constData() + offset;
            offset += o.packet;
            const double start = now();
            if (!sendAll(packet, o.packet, start + RoundTripLimitSeconds) ||
                !receiveExactly(back.data(), o.packet, start + RoundTripLimitSeconds)) {
                r.integrityError =
                    QStringLiteral("round trip %1: the echo did not come back within %2 s (%3)")
                        .arg(i)
                        .arg(RoundTripLimitSeconds)
                        .arg(m_why);
                return;
            }
            const double end = now();
            if (std::memcmp(back.data(), packet, size_t(o.packet)) != 0) {
                r.integrityError = QStringLiteral("round trip %1: the echo came back altered").arg(i);
                return;
            }
            if (i >= WarmUpRoundTrips)
                r.roundTripsUs.push_back((end - start) * 1e6);
        }
        r.roundTripCpu = probe.cpuSeconds() - cpuStart;
    }

    // Sends the stream and receives its echo at the same time, with at most `window` bytes
    // on their way: the simulator drops output it cannot deliver beyond 1 MiB, and a real
    // setup program does not run that far ahead of its device either.
    void echo(const Options& o, const QByteArray& stream, qsizetype offset, const BridgeProbe& probe,
              Results& r) {
        const char* data = stream.constData() + offset;
        const qsizetype total = o.echoBytes;
        std::vector<char> buffer(64 * 1024);
        qsizetype sent = 0;
        qsizetype got = 0;
        const double cpuStart = probe.cpuSeconds();
        const double start = now();
        double lastProgress = start;
        while (got < total) {
            pollfd p{m_fd, POLLIN, 0};
            if (sent < total && sent - got < o.window)
                p.events |= POLLOUT;
            const double left = lastProgress + StallSeconds - now();
            if (left <= 0) {
                r.integrityError =
                    QStringLiteral("nothing came back for %1 s: %2 of %3 bytes echoed, the rest lost")
                        .arg(StallSeconds)
                        .arg(got)
                        .arg(total);
                return;
            }
            if (::poll(&p, 1, int(left * 1000) + 1) < 0 && errno != EINTR) {
                r.setupError = QStringLiteral("poll: %1").arg(QString::fromLocal8Bit(strerror(errno)));
                return;
            }
            if (p.revents & POLLOUT) {
                const qsizetype want =
                    std::min({qsizetype(buffer.size()), total - sent, o.window - (sent - got)});
                const ssize_t n = ::send(m_fd, data + sent, size_t(want), MSG_NOSIGNAL);
                if (n > 0) {
                    sent += n;
                    lastProgress = now();
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    r.integrityError =
                        QStringLiteral("the bridge dropped the connection after %1 bytes sent").arg(sent);
                    return;
                }
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                    r.integrityError =
                        QStringLiteral("the bridge closed the connection after %1 of %2 bytes echoed")
                            .arg(got)
                            .arg(total);
                    return;
                }
                if (n > 0) {
                    if (got + n > sent) {
                        r.integrityError = QStringLiteral("%1 bytes came back that were never sent (doubled)")
                                               .arg(got + n - sent);
                        return;
                    }
                    const auto mismatch = std::mismatch(buffer.begin(), buffer.begin() + n, data + got);
                    if (mismatch.first != buffer.begin() + n) {
                        r.integrityError =
                            QStringLiteral("echoed byte %1 differs from the one sent (lost or reordered)")
                                .arg(got + (mismatch.first - buffer.begin()));
                        return;
                    }
                    got += n;
                    lastProgress = now();
                }
            }
        }
        r.echoSeconds = now() - start;
        r.echoCpu = probe.cpuSeconds() - cpuStart;
        r.echoed = total;
    }

    // Connected and quiet: nothing must arrive, and the bridge should sleep.
    void idle(const Options& o, const BridgeProbe& probe, Results& r) {
        const double cpuStart = probe.cpuSeconds();
        const qint64 wakeupsStart = probe.wakeups();
        const double start = now();
        const double end = start + o.idleSeconds;
        for (double t = start; t < end; t = now()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int((end - t) * 1000) + 1) > 0) {
                char c;
                if (::recv(m_fd, &c, 1, 0) == 1)
                    r.integrityError = QStringLiteral("bytes came back while nothing was sent (doubled)");
                else
                    r.integrityError = QStringLiteral("the bridge closed the connection while idle");
                return;
            }
        }
        r.idleSeconds = now() - start;
        r.idleCpu = probe.cpuSeconds() - cpuStart;
        r.idleWakeups = probe.wakeups() - wakeupsStart;
    }

  private:
    bool sendAll(const char* data, qsizetype size, double deadline) {
        qsizetype done = 0;
        while (done < size) {
            const ssize_t n = ::send(m_fd, data + done, size_t(size - done), MSG_NOSIGNAL);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return fail(QString::fromLocal8Bit(strerror(errno)));
            if (!waitFor(POLLOUT, deadline))
                return false;
        }
        return true;
    }

    bool receiveExactly(char* data, qsizetype size, double deadline) {
        qsizetype done = 0;
        while (done < size) {
            const ssize_t n = ::recv(m_fd, data + done, size_t(size - done), 0);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n == 0)
                return fail(QStringLiteral("connection closed"));
            if (errno != EAGAIN && errno != EINTR)
                return fail(QString::fromLocal8Bit(strerror(errno)));
            if (!waitFor(POLLIN, deadline))
                return false;
        }
        return true;
    }

    bool waitFor(short events, double deadline) {
        const double left = deadline - now();
        if (left <= 0)
            return fail(QStringLiteral("timed out"));
        pollfd p{m_fd, events, 0};
        if (::poll(&p, 1, int(left * 1000) + 1) < 0 && errno != EINTR)
            return fail(QString::fromLocal8Bit(strerror(errno)));
        return true;
    }

    bool fail(const QString& why) {
        m_why = why;
        return false;
    }

    int m_fd = -1;
    QString m_why;
};

void measure(MeasuringClient& client, const Options& o, const BridgeProbe& probe, Results& r) {
    const QByteArray stream =
        sessionStream(qsizetype(WarmUpRoundTrips + o.roundTrips) * o.packet + o.echoBytes);
    qsizetype offset = 0;
    client.roundTrips(o, stream, offset, probe, r);
    if (!r.integrityError.isEmpty())
        return;
    client.echo(o, stream, offset, probe, r);
    if (!r.integrityError.isEmpty() || !r.setupError.isEmpty())
        return;
    client.idle(o, probe, r);
}

// ---- the panel simulator -----------------------------------------------------------------

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// panel-sim on a pseudo-terminal named by a symlink, echoing once the dialogue is over.
class PanelProcess {
  public:
    ~PanelProcess() { stop(); }

    bool start(const QString& program, const QString& link, QString& error) {
        m_process.setProgram(program);
        m_process.setArguments({QStringLiteral("--pty"), link, QStringLiteral("--quiet")});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        if (!m_process.waitForStarted(5000)) {
            error = QStringLiteral("%1: %2").arg(program, m_process.errorString());
            return false;
        }
        // The first line is the port's name; the link exists once it is printed.
        QElapsedTimer waited;
        waited.start();
        while (!m_process.canReadLine() && waited.elapsed() < 5000)
            m_process.waitForReadyRead(int(5000 - waited.elapsed()));
        const QString name = QString::fromLocal8Bit(m_process.readLine().trimmed());
        if (name != link) {
            error = QStringLiteral("panel-sim did not present %1 (said \"%2\")").arg(link, name);
            return false;
        }
        return true;
    }

    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate(); // it removes its link on the way out
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }

  private:
    QProcess m_process;
};

// ---- the two bridges ---------------------------------------------------------------------

Results runKestrom(const Options& o) {
    Results r;
    r.name = QStringLiteral("Kestrom");
    QTemporaryDir work;
    const QString link = work.filePath(QStringLiteral("ttyPANEL"));
    const QString appDir = work.filePath(QStringLiteral("app"));
    const QString configDir = work.filePath(QStringLiteral("config"));
    const QString tempDir = work.filePath(QStringLiteral("temp"));
    for (const QString& dir : {appDir, configDir, tempDir})
        QDir().mkpath(dir);

    PanelProcess panel;
    if (!work.isValid() || !panel.start(o.panelSim, link, r.setupError)) {
        if (r.setupError.isEmpty())
            r.setupError = QStringLiteral("no temporary directory");
        return r;
    }

    // The simulator's device key leads to a "setup program" that never connects: the
    // measuring client is then the server's only connection, the one device bytes go to.
    QFile ini(appDir + QStringLiteral("/setup.ini"));
    QFile idler(appDir + QStringLiteral("/idle-setup"));
    if (!ini.open(QIODevice::WriteOnly) || !idler.open(QIODevice::WriteOnly)) {
        r.setupError = QStringLiteral("cannot write the program directory %1").arg(appDir);
        return r;
    }
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
    SetCOMPortEnumeratorForTest([link] { return QStringList{link}; });

    CreateForms();
    TMainKestromForm* f = MainKestromForm;
    f->show();
    if (o.logWindow)
        LOGForm->show();
    f->ConnectTypeComboBox->setCurrentIndex(chCable);
    f->ConnectTypeComboBoxChange();
    const quint16 port = freePort();
    TCPServerSettingsForm->PortEdit->setText(QString::number(port));

    if (f->PortsListComboBox->currentText() != link) {
        r.setupError = QStringLiteral("the wizard does not offer the port %1").arg(link);
    } else {
        // The relay runs on this (the GUI) thread; the client runs on its own, so the
        // bridge's CPU is the process's minus the client's.
        const long guiThread = ::syscall(SYS_gettid);
        const QString guiStatus = QStringLiteral("/proc/self/task/%1/status").arg(guiThread);
        const BridgeProbe probe{
            [] { return clockSeconds(CLOCK_PROCESS_CPUTIME_ID) - clockSeconds(CLOCK_THREAD_CPUTIME_ID); },
            [guiStatus] { return voluntarySwitches(guiStatus); }};
        std::atomic<bool> clickReturned{false};
        std::thread client([&] {
            MeasuringClient c;
            if (c.connectTo(
                    port, [&] { return !clickReturned.load(); }, r.setupError))
                measure(c, o, probe, r);
            // The user ends the connection: a click on the link, now "Отключить".
            QMetaObject::invokeMethod(
                f,
                [f] {
                    if (f->URLLabel1->Tag == lsConnected)
                        f->URLLabel1->Click();
                },
                Qt::QueuedConnection);
        });
        f->URLLabel1->Click(); // returns when the connection is over
        clickReturned = true;
        client.join();
        // The wizard killed its setup program on the way out; let it be reaped before the
        // window (its parent) goes.
        for (QProcess* setup : f->findChildren<QProcess*>())
            setup->waitForFinished(3000);
        if (!boxes.isEmpty() && r.setupError.isEmpty())
            r.setupError = QStringLiteral("the wizard said: %1").arg(boxes.join(QStringLiteral(" / ")));
    }

    DestroyForms();
    SetCOMPortEnumeratorForTest({});
    Platform::SetMessageBoxHandler({});
    Platform::SetAppDirForTest(QString());
    Platform::SetTempPathForTest(QString());
    return r;
}

Results runSocat(const Options& o) {
    Results r;
    r.name = QStringLiteral("socat");
    QTemporaryDir work;
    const QString link = work.filePath(QStringLiteral("ttyPANEL"));
    PanelProcess panel;
    if (!work.isValid() || !panel.start(o.panelSim, link, r.setupError)) {
        if (r.setupError.isEmpty())
            r.setupError = QStringLiteral("no temporary directory");
        return r;
    }

    const quint16 port = freePort();
    QProcess socat;
    socat.setProgram(o.socat);
    // One connection, then socat ends. rawer: raw mode, echo off, as the wizard sets the port.
    socat.setArguments({QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port),
                        QStringLiteral("FILE:%1,rawer").arg(link)});
    socat.setProcessChannelMode(QProcess::ForwardedChannels);
    socat.start();
    if (!socat.waitForStarted(5000)) {
        r.setupError = QStringLiteral("%1: %2").arg(o.socat, socat.errorString());
        return r;
    }
    const pid_t pid = pid_t(socat.processId());
    const QString socatStatus = QStringLiteral("/proc/%1/status").arg(pid);
    const BridgeProbe probe{[pid] { return processCpuSeconds(pid); },
                            [socatStatus] { return voluntarySwitches(socatStatus); }};
    {
        MeasuringClient c;
        if (c.connectTo(
                port, [] { return true; }, r.setupError) &&
            c.handshake(r.setupError))
            measure(c, o, probe, r);
    } // closing the connection ends socat
    if (!socat.waitForFinished(3000)) {
        socat.kill();
        socat.waitForFinished(3000);
    }
    return r;
}

// ---- the report ----------------------------------------------------------------------------

void row(const char* what, double kestrom, double socat, const char* unit, const QString& goal,
         const QString& verdict, bool showRatio = true) {
    QString ratio;
    if (showRatio && socat > 0)
        ratio = QStringLiteral("%1x").arg(kestrom / socat, 0, 'f', 2);
    std::printf("%-34s %10.*f %10.*f  %-4s %7s   %-18s %s\n", what, kestrom < 10 ? 3 : 1, kestrom,
                socat < 10 ? 3 : 1, socat, unit, qPrintable(ratio), qPrintable(goal), qPrintable(verdict));
}

QString verdict(bool pass) {
    return pass ? QStringLiteral("PASS") : QStringLiteral("MISS");
}

void printProblems(const Results& r) {
    if (!r.setupError.isEmpty())
        std::printf("%s: SETUP FAILED: %s\n", qPrintable(r.name), qPrintable(r.setupError));
    if (!r.integrityError.isEmpty())
        std::printf("%s: BYTES LOST OR REORDERED: %s\n", qPrintable(r.name), qPrintable(r.integrityError));
}

int report(const Options& o, const Results& k, const Results& s) {
    std::printf("\nRelay benchmark, %s, %d cores\n",
                qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)),
                int(::sysconf(_SC_NPROCESSORS_ONLN)));
    std::printf("%d round trips of %d bytes, %.1f MiB echoed (at most %lld KiB in flight), %d s idle\n\n",
                o.roundTrips, o.packet, double(o.echoBytes) / double(MiB),
                static_cast<long long>(o.window / 1024), o.idleSeconds);
    printProblems(k);
    printProblems(s);
    if (!k.complete() || !s.complete())
        return 1;

    std::printf("%-34s %10s %10s  %-4s %7s   %-18s %s\n", "", "Kestrom", "socat", "", "ratio", "goal", "");
    const double medianRatio = k.percentile(0.5) / s.percentile(0.5);
    row("round trip, median", k.percentile(0.5), s.percentile(0.5), "us", QStringLiteral("<= 1.5x socat"),
        verdict(medianRatio <= 1.5));
    row("round trip, p99", k.percentile(0.99), s.percentile(0.99), "us", {}, {});
    row("bridge CPU per round trip", k.cpuUsPerRoundTrip(), s.cpuUsPerRoundTrip(), "us", {}, {});
    const double throughputRatio = k.throughputMiBs() / s.throughputMiBs();
    row("echo throughput", k.throughputMiBs(), s.throughputMiBs(), "MiB/s", QStringLiteral(">= 0.8x socat"),
        verdict(throughputRatio >= 0.8));
    row("bridge CPU per MiB echoed", k.cpuMsPerMiB(), s.cpuMsPerMiB(), "ms", {}, {});
    row("idle CPU", k.idlePercent(), s.idlePercent(), "%", QStringLiteral("< 1% of a core"),
        verdict(k.idlePercent() < 1.0), false);
    row("idle wakeups of the relay thread", k.idleWakeupsPerSecond(), s.idleWakeupsPerSecond(), "/s", {}, {},
        false);
    std::printf("%-34s %10s %10s  %-4s %7s   %-18s %s\n", "bytes lost or reordered", "none", "none", "", "",
                "none", "PASS");
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("relay-bench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the wizard's cable relay and socat side by side between the same TCP client\n"
        "and a panel simulator echoing on a pseudo-terminal. Exit status 1 only when bytes were\n"
        "lost or reordered or the bench could not run; missed goals are reported, not failed."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("panel-sim"),
         QStringLiteral("The panel simulator (default: panel-sim beside this program)."),
         QStringLiteral("path")},
        {QStringLiteral("socat"), QStringLiteral("socat to compare with (default: socat on PATH)."),
         QStringLiteral("path")},
        {QStringLiteral("round-trips"), QStringLiteral("Measured round trips (default 2000)."),
         QStringLiteral("n")},
        {QStringLiteral("packet"), QStringLiteral("Bytes per round trip (default 16)."),
         QStringLiteral("bytes")},
        {QStringLiteral("echo-mib"), QStringLiteral("MiB echoed for the throughput (default 4)."),
         QStringLiteral("n")},
        {QStringLiteral("window"), QStringLiteral("Most KiB on their way during the echo (default 256)."),
         QStringLiteral("KiB")},
        {QStringLiteral("idle"), QStringLiteral("Seconds connected and idle (default 10)."),
         QStringLiteral("s")},
        {QStringLiteral("log-window"),
         QStringLiteral("Show the wizard's traffic log while it relays (a technician watching).")},
    });
    parser.process(app);

    Options o;
    o.panelSim = parser.isSet(QStringLiteral("panel-sim"))
                     ? parser.value(QStringLiteral("panel-sim"))
                     : QCoreApplication::applicationDirPath() + QStringLiteral("/panel-sim");
    if (parser.isSet(QStringLiteral("socat")))
        o.socat = parser.value(QStringLiteral("socat"));
    o.logWindow = parser.isSet(QStringLiteral("log-window"));
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
    o.roundTrips = number("round-trips", o.roundTrips, 1, 1000000);
    o.packet = number("packet", o.packet, 1, 4096);
    o.echoBytes = qsizetype(number("echo-mib", 4, 1, 1024)) * MiB;
    o.window = qsizetype(number("window", 256, 1, 1024)) * 1024;
    o.idleSeconds = number("idle", o.idleSeconds, 1, 600);

    std::printf("Kestrom relay...\n");
    std::fflush(stdout);
    const Results kestrom = runKestrom(o);
    std::printf("socat relay...\n");
    std::fflush(stdout);
    const Results socat = runSocat(o);
    return report(o, kestrom, socat);
}
