// The bridges' side: the panel simulators and socat as processes of their own, and the
// wizard itself relaying (cable or LAN) in this process.
#include "Bench.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "platform/Platform.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Bench {
namespace {

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

} // namespace

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
    QStringList clientArgs =
        arguments + QStringList{QStringLiteral("--client"),
                                QStringLiteral("--kestrom=%1:%2").arg(kestromPort).arg(::getpid())};
    if (!slow)
        clientArgs << QStringLiteral("--socat-bridge=%1:%2").arg(socatPort).arg(socat.pid());
    if (o.lan)
        clientArgs << QStringLiteral("--panel-direct=%1:%2").arg(directPanelPort).arg(directPanel.pid());
    const bool clientStarted =
        client.start(QCoreApplication::applicationFilePath(), clientArgs, false, error);
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
        std::printf("\nGOAL %-8s slow-line GUI stall    %5.1f ms      (<= %.0f ms)  %s\n",
                    qPrintable(platform()), stallMs, GoalStallMs,
                    qPrintable(verdict(stallMs <= GoalStallMs)));
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

} // namespace Bench
