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
#include <functional>
#include <memory>
#include <signal.h>
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
};

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (qEnvironmentVariableIntValue("KESTROM_TEST_WIZARD") == 1)
        return runWizard();
    TestSecurity tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_security.moc"
