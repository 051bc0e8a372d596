// Only the technician reaches the panel, on a computer shared with other accounts: the
// wizard runs as a second account (nobody) in a process of its own, the test (root) plays
// the other account. Needs root for that (CI runs as root); skips without.
#include "PanelSim.h"
#include "Scenario.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QProcess>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QtTest>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t Wizard = 65534; // nobody
const QByteArray Ping = "PING from the panel \x01\xFF";

// The setup program has ended: gone, or a zombie nobody reaps (the container's init).
bool ended(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) == "Z";
}

void say(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The child: the real wizard with the panel simulator on a pseudo-terminal, one cable
// session with the sample setup program, reporting on stdout. Ends only when killed.
int runWizard() {
    Platform::SetAppDirForTest(qEnvironmentVariable("KESTROM_TEST_APPDIR"));
    // No test temporary directory: the program's own choice ($XDG_RUNTIME_DIR, $TMPDIR).
    PanelSim::Config config;
    config.echoDeviceData = false;
    PanelSim panel(config);
    if (!panel.startPty()) {
        say("failed: no pseudo-terminal: " + panel.errorString().toUtf8());
        return 1;
    }
    const QString port = panel.portName();
    SetCOMPortEnumeratorForTest([port] { return QStringList{port}; });
    CreateForms();
    LOGForm->show();
    TMainKestromForm* f = MainKestromForm;
    f->ConnectTypeComboBox->setCurrentIndex(chCable);
    f->ConnectTypeComboBoxChange();
    TCPServerSettingsForm->PortEdit->setText(qEnvironmentVariable("KESTROM_SETUP_PORT"));

    bool go = false;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c = 0;
        go = go || ::read(STDIN_FILENO, &c, 1) == 1;
        input.setEnabled(!go);
    });
    Scenario s([f] { f->FConnected = false; });
    s.step(
         "setup program connected", [f] { return f->FSetupConnected && f->FSetupProcInfo; },
         [f] {
             say("copy " + f->FSetupFile.toUtf8());
             say("setup " + QByteArray::number(f->FSetupProcInfo->processId()));
             say("port " + QByteArray::number(f->ServerPort()));
             say("ready");
         },
         60000)
        .step(
            "the test's go", [&] { return go; }, [&] { panel.send(Ping); }, 60000)
        .step(
            "the panel's bytes came back through the setup program",
            [&] { return panel.deviceData().size() >= Ping.size(); },
            [&] {
                say("relayed " + panel.deviceData().toHex());
                for (const QString& line : LogLines())
                    say("log " + LogBody(line).toUtf8());
                say("done");
            },
            20000);
    QTimer::singleShot(0, f, [&] {
        s.start();
        f->URLLabel1->Click();
        say("failed: " + s.failure().toUtf8() + "\n" + LogLines().join('\n').toUtf8());
        QCoreApplication::exit(1);
    });
    return QCoreApplication::exec();
}

int logCount(const QString& body) {
    int n = 0;
    for (const QString& line : LogLines())
        n += LogBody(line) == body;
    return n;
}

// The child of portStaysTheWizards: one session on the channel KESTROM_TEST_CHANNEL
// ("cable" or "ip"). On "u" from the test the device goes (the adapter pulled, the panel's
// connection dropped and refused), on "r" it comes back, on "g" the panel sends.
int runLostPortWizard() {
    Platform::SetAppDirForTest(qEnvironmentVariable("KESTROM_TEST_APPDIR"));
    const bool ip = qEnvironmentVariable("KESTROM_TEST_CHANNEL") == "ip";
    PanelSim::Config config;
    config.echoDeviceData = false;
    PanelSim panel(config);
    if (ip ? !panel.startTcp(0) : !panel.startPty()) {
        say("failed: no panel: " + panel.errorString().toUtf8());
        return 1;
    }
    const QString port = ip ? QString() : panel.portName();
    // The port is listed while the adapter is in, as a real one is.
    SetCOMPortEnumeratorForTest(
        [&panel, port] { return panel.isPlugged() ? QStringList{port} : QStringList(); });
    CreateForms();
    LOGForm->show();
    TMainKestromForm* f = MainKestromForm;
    f->ConnectTypeComboBox->setCurrentIndex(ip ? chIP : chCable);
    f->ConnectTypeComboBoxChange();
    if (ip) {
        f->IPCombo->setEditText(QStringLiteral("127.0.0.1"));
        f->PortCombo->setEditText(QString::number(panel.tcpPort()));
    }
    TCPServerSettingsForm->PortEdit->setText(qEnvironmentVariable("KESTROM_SETUP_PORT"));

    QByteArray commands;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c = 0;
        if (::read(STDIN_FILENO, &c, 1) == 1)
            commands += c;
        else
            input.setEnabled(false);
    });
    const auto heard = [&](char c) { return commands.contains(c); };
    const QString connected = QStringLiteral(" Оболочка подключилась к мосту.");
    const auto fail = [&](const QString& why) {
        say("failed: " + why.toUtf8() + "\n" + LogLines().join('\n').toUtf8());
        QCoreApplication::exit(1);
    };
    Scenario s([f] { f->FConnected = false; });
    s.step(
         "setup program connected", [&] { return f->FSetupConnected && f->ServerPort() != 0; },
         [&] {
             say("port " + QByteArray::number(f->ServerPort()));
             say("ready");
         },
         60000)
        .step(
            "the test's unplug", [&] { return heard('u'); },
            [&] {
                if (ip)
                    panel.stopListening();
                else
                    panel.unplug();
            },
            60000)
        .step(
            "server stopped",
            [&] {
                return !f->ServerSocket->isListening() && (ip ? f->FNeedLANReconnect : f->FNeedCOMReconnect);
            },
            [&] { say("lost"); }, 20000)
        .step(
            "the test's replug", [&] { return heard('r'); },
            [&] {
                if (ip ? !panel.listenAgain() : !panel.replug())
                    fail("the panel did not come back: " + panel.errorString());
            },
            60000)
        .step(
            "setup program connected again",
            [&] {
                return f->ServerSocket->isListening() && f->FSetupConnected && logCount(connected) >= 2 &&
                       f->Label7->text() == QStringLiteral("Подключен");
            },
            [&] { say("back"); }, 30000)
        .step(
            "the test's go", [&] { return heard('g'); }, [&] { panel.send(Ping); }, 60000)
        .step(
            "the panel's bytes came back through the setup program",
            [&] { return panel.deviceData().size() >= Ping.size(); },
            [&] {
                say("relayed " + panel.deviceData().toHex());
                for (const QString& line : LogLines())
                    say("log " + LogBody(line).toUtf8());
                say("done");
            },
            20000);
    QTimer watch; // the IP channel has no loop of its own: the click returns at once
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!s.failure().isEmpty())
            fail(s.failure());
    });
    QTimer::singleShot(0, f, [&] {
        s.start();
        f->URLLabel1->Click();
        if (ip)
            watch.start(100);
        else
            fail(s.failure());
    });
    return QCoreApplication::exec();
}

// Binds address:port with the given options as this process's account; the errno of a
// failure, 0 on success.
int tryBind(const QHostAddress& address, quint16 port, bool reuseAddr, bool reusePort) {
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const int one = 1;
    if (reuseAddr)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (reusePort)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    int rc;
    if (v6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        const Q_IPV6ADDR b = address.toIPv6Address();
        std::memcpy(&a.sin6_addr, b.c, sizeof b.c);
        rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(address.toIPv4Address());
        rc = ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    const int e = rc == 0 ? 0 : errno;
    if (rc == 0)
        ::listen(fd, 1); // as the squatter did: it serves
    ::close(fd);
    return e;
}
} // namespace

class TestSecurity : public QObject {
    Q_OBJECT
  private slots:
    // A program planted in the shared temporary directory under the copy's old name is
    // never run; another account's connection to the local server (root's here) is closed
    // before a byte of it is read and gets nothing of the panel's, while the technician's
    // own setup program keeps relaying; a wizard killed with SIGKILL leaves no setup
    // program running.
    void anotherAccountCannotReachThePanel_data() {
        QTest::addColumn<bool>("runtimeDir");
        QTest::newRow("shared temporary directory") << false;
        QTest::newRow("XDG_RUNTIME_DIR") << true;
    }
    void anotherAccountCannotReachThePanel() {
        QFETCH(bool, runtimeDir);
        if (::geteuid() != 0)
            QSKIP("running the wizard as a second account needs root (setpriv)");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");

        QTemporaryDir work;
        QVERIFY(QFile::setPermissions(work.path(), QFile::Permissions(0x7555)));
        const auto dir = [&](const QString& name, uint mode, bool wizardOwns) {
            const QString path = work.filePath(name);
            QDir().mkpath(path);
            ::chmod(QFile::encodeName(path).constData(), mode);
            if (wizardOwns && ::chown(QFile::encodeName(path).constData(), Wizard, Wizard) != 0)
                return QString();
            return path;
        };
        const QString bin = dir("bin", 0755, false), app = dir("app", 0755, false);
        const QString shared = dir("tmp", 01777, false); // as /tmp
        const QString home = dir("home", 0700, true), run = dir("run", 0700, true);
        const QString out = dir("out", 0755, true);
        QVERIFY(!home.isEmpty() && !run.isEmpty() && !out.isEmpty());
        // The test program itself plays the wizard, from where the second account may run it.
        const QString self = bin + "/wizard";
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), self));
        QVERIFY(QFile::copy(KESTROM_SETUP_SIM, app + "/setup-sim"));
        QFile ini(app + "/setup.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("SIMPANEL=setup-sim\r\n");
        ini.close();
        // Another account's program where the copy used to go: the directory is sticky, so
        // the wizard could not replace it and started it as the technician.
        const QString planted = shared + "/setup-sim.exe", ran = shared + "/planted-ran";
        QFile plant(planted);
        QVERIFY(plant.open(QIODevice::WriteOnly));
        plant.write("#!/bin/sh\ntouch '" + ran.toUtf8() + "'\n");
        plant.close();
        QVERIFY(plant.setPermissions(QFile::Permissions(0x7755)));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTROM_TEST_WIZARD", "1");
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_TEST_APPDIR", app);
        env.insert("TMPDIR", shared);
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.remove("XDG_RUNTIME_DIR");
        if (runtimeDir)
            env.insert("XDG_RUNTIME_DIR", run);
        env.insert("KESTROM_SETUP_PORT", QString::number(FreeTcpPort()));
        env.insert("KESTROM_SETUP_MODE", "echo");
        env.insert("KESTROM_SETUP_RECORD", out + "/record.txt");
        QProcess wizard;
        // Whatever happens, no setup program of this test stays behind.
        qint64 setup = 0;
        const std::unique_ptr<void, std::function<void(void*)>> reap(&setup, [&](void*) {
            if (setup > 0 && !ended(setup))
                ::kill(pid_t(setup), SIGKILL);
        });
        wizard.setProcessEnvironment(env);
        wizard.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        wizard.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", self});
        QVERIFY2(wizard.waitForStarted(), qPrintable(wizard.errorString()));
        QByteArray said;
        const auto value = [&](const QByteArray& key) {
            for (const QByteArray& line : said.split('\n'))
                if (line.startsWith(key + ' '))
                    return line.mid(key.size() + 1);
            return QByteArray();
        };
        const auto heard = [&](const QByteArray& line) {
            said += wizard.readAllStandardOutput();
            return said.contains("\n" + line) || said.startsWith(line) || said.contains("failed: ");
        };
        QTRY_VERIFY2_WITH_TIMEOUT(heard("ready"), said.constData(), 90000);
        QVERIFY2(!said.contains("failed: "), said.constData());
        setup = value("setup").toLongLong();

        // The right program runs, from a directory made for this run, never the planted one.
        const QString copy = QString::fromUtf8(value("copy"));
        QVERIFY2(copy.startsWith((runtimeDir ? run : shared) + "/kestrom-") &&
                     copy.endsWith("/setup-sim.exe"),
                 qPrintable(copy));
        QCOMPARE(ModeOf(QFileInfo(copy).path()), 0700);
        QVERIFY(!QFile::exists(ran));

        // Root connects as the other account: closed before its bytes are read, given nothing.
        QTcpSocket intruder;
        QByteArray toIntruder;
        connect(&intruder, &QTcpSocket::readyRead, this, [&] { toIntruder += intruder.readAll(); });
        intruder.connectToHost(QHostAddress::LocalHost, quint16(value("port").toUInt()));
        QVERIFY(intruder.waitForConnected(10000));
        intruder.write("0123456789ABCDEF");
        QTRY_COMPARE_WITH_TIMEOUT(intruder.state(), QAbstractSocket::UnconnectedState, 10000);

        // The panel sends; the technician's setup program echoes: the panel gets its own
        // bytes back and nothing of the intruder's.
        wizard.write("g");
        QTRY_VERIFY2_WITH_TIMEOUT(heard("done"), said.constData(), 30000);
        QCOMPARE(value("relayed"), Ping.toHex());
        QCOMPARE(toIntruder, QByteArray());
        QVERIFY2(
            said.contains("log  Подключение к мосту закрыто: это программа другого пользователя (uid 0)."),
            said.constData());

        // Killed outright, the wizard takes its setup program with it.
        QVERIFY(setup > 0 && !ended(setup));
        QVERIFY(::kill(pid_t(wizard.processId()), SIGKILL) == 0);
        QVERIFY(wizard.waitForFinished(10000));
        QTRY_VERIFY2_WITH_TIMEOUT(ended(setup), "the setup program outlived the killed wizard", 10000);
    }

    // The server's port stays the wizard's while the device is away within a connection:
    // another account (root here) can bind it neither on 127.0.0.1 nor on ::1, with or
    // without SO_REUSEADDR / SO_REUSEPORT, and the setup program is refused meanwhile; once
    // the device is back the setup program reconnects to the wizard and relays.
    void portStaysTheWizards_data() {
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("setupHost");
        QTest::newRow("cable, adapter pulled") << "cable"
                                               << "127.0.0.1";
        QTest::newRow("IP, panel dropped until the reconnect") << "ip"
                                                               << "127.0.0.1";
        QTest::newRow("cable, setup program on ::1") << "cable"
                                                     << "::1";
    }
    void portStaysTheWizards() {
        QFETCH(QString, channel);
        QFETCH(QString, setupHost);
        if (::geteuid() != 0)
            QSKIP("running the wizard as a second account needs root (setpriv)");
        const QString setpriv = QStandardPaths::findExecutable("setpriv");
        if (setpriv.isEmpty())
            QSKIP("setpriv (util-linux) is not installed");

        QTemporaryDir work;
        QVERIFY(QFile::setPermissions(work.path(), QFile::Permissions(0x7555)));
        const auto dir = [&](const QString& name, bool wizardOwns) {
            const QString path = work.filePath(name);
            QDir().mkpath(path);
            ::chmod(QFile::encodeName(path).constData(), wizardOwns ? 0700 : 0755);
            if (wizardOwns && ::chown(QFile::encodeName(path).constData(), Wizard, Wizard) != 0)
                return QString();
            return path;
        };
        const QString bin = dir("bin", false), app = dir("app", false);
        const QString home = dir("home", true), run = dir("run", true);
        QVERIFY(!home.isEmpty() && !run.isEmpty());
        const QString self = bin + "/wizard";
        QVERIFY(QFile::copy(QCoreApplication::applicationFilePath(), self));
        QVERIFY(QFile::copy(KESTROM_SETUP_SIM, app + "/setup-sim"));
        QFile ini(app + "/setup.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("SIMPANEL=setup-sim\r\n");
        ini.close();

        const quint16 port = FreeTcpPort();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTROM_TEST_WIZARD", "2");
        env.insert("KESTROM_TEST_CHANNEL", channel);
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_TEST_APPDIR", app);
        env.insert("HOME", home);
        env.insert("XDG_CONFIG_HOME", home + "/config");
        env.insert("XDG_RUNTIME_DIR", run);
        env.insert("KESTROM_SETUP_PORT", QString::number(port));
        env.insert("KESTROM_SETUP_HOST", setupHost);
        env.insert("KESTROM_SETUP_MODE", "echo");
        QProcess wizard;
        wizard.setProcessEnvironment(env);
        wizard.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        const std::unique_ptr<QProcess, std::function<void(QProcess*)>> stop(&wizard, [](QProcess* w) {
            if (w->state() != QProcess::NotRunning) {
                ::kill(pid_t(w->processId()), SIGKILL); // takes its setup program with it
                w->waitForFinished(10000);
            }
        });
        wizard.start(setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", self});
        QVERIFY2(wizard.waitForStarted(), qPrintable(wizard.errorString()));
        QByteArray said;
        const auto heard = [&](const QByteArray& line) {
            said += wizard.readAllStandardOutput();
            return said.contains("\n" + line) || said.startsWith(line) || said.contains("failed: ");
        };
        QTRY_VERIFY2_WITH_TIMEOUT(heard("ready"), said.constData(), 90000);
        QVERIFY2(!said.contains("failed: "), said.constData());
        QVERIFY2(said.contains("port " + QByteArray::number(port)), said.constData());

        // Listening on both loopback addresses, both served.
        for (const QHostAddress& a :
             {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)})
            QCOMPARE(tryBind(a, port, true, true), EADDRINUSE);

        wizard.write("u");
        QTRY_VERIFY2_WITH_TIMEOUT(heard("lost"), said.constData(), 30000);
        QVERIFY2(!said.contains("failed: "), said.constData());
        const QList<QHostAddress> addresses{QHostAddress(QHostAddress::LocalHost),
                                            QHostAddress(QHostAddress::LocalHostIPv6),
                                            QHostAddress(QHostAddress::Any)};
        for (const QHostAddress& a : addresses) {
            for (int opts = 0; opts < 4; ++opts) {
                const int e = tryBind(a, port, opts & 1, opts & 2);
                QVERIFY2(e == EADDRINUSE, qPrintable(QStringLiteral("%1 with options %2: %3")
                                                         .arg(a.toString())
                                                         .arg(opts)
                                                         .arg(e == 0 ? "bound" : std::strerror(e))));
            }
        }
        // The setup program finds the port refusing, as the design has it.
        for (const QHostAddress& a :
             {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
            QTcpSocket probe;
            probe.connectToHost(a, port);
            QVERIFY(!probe.waitForConnected(5000));
            QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
        }

        wizard.write("r");
        QTRY_VERIFY2_WITH_TIMEOUT(heard("back"), said.constData(), 40000);
        QVERIFY2(!said.contains("failed: "), said.constData());
        wizard.write("g");
        QTRY_VERIFY2_WITH_TIMEOUT(heard("done"), said.constData(), 30000);
        QVERIFY2(said.contains("relayed " + Ping.toHex()), said.constData());
    }
};

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (qEnvironmentVariableIntValue("KESTROM_TEST_WIZARD") == 1)
        return runWizard();
    if (qEnvironmentVariableIntValue("KESTROM_TEST_WIZARD") == 2)
        return runLostPortWizard();
    TestSecurity tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_security.moc"
