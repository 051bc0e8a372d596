// The Windows build under Wine: the zip scripts/windows makes, unpacked as a technician
// would, run in a private Wine prefix on a private X display (Xvfb), against the panel
// simulator on a pseudo-terminal that the prefix defines as the DOS device COM12 (found by
// the port list itself, as a technician's port is), with the sample setup
// program (setup-sim.exe) the wizard starts itself. The same whole session the Linux program
// runs as a process (tests/app/tst_testdrive.cpp), the settings in Wine's registry under the
// program's key, the second-instance warning.
//
// Skipped with the reason when the zip (scripts/windows), Wine or Xvfb is missing.
#include "PanelSim.h"
#include "TestForms.h"
#include "WineSession.h"
#include "WizardProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

// The name the tests give the panel's port in the prefix: two digits, which Windows opens
// only through the device path \\.\COM12.
const QString PortName = QStringLiteral("COM12");

// A path of this machine as the Windows program sees it (Wine's drive Z: is /).
QString windowsPath(const QString& path) {
    return QStringLiteral("Z:") + QDir::toNativeSeparators(path).replace(u'/', u'\\');
}

// CPU time (user + system) a process has used, in ms; -1 when it is gone.
double processCpuMs(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    // After "pid (comm) ": state is field 3, utime 14, stime 15.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toDouble() + fields[12].toDouble()) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

} // namespace

class TestWine : public QObject {
    Q_OBJECT

    QTemporaryDir FRoot;
    QString FApp; // the unpacked zip
    WineSession FWine;

    bool wine(const QStringList& args, int ms = 60000, QByteArray* out = nullptr) {
        return FWine.Wine(args, ms, out);
    }

    // The program's values in Wine's registry, by name ("COM" -> "COM12", "CHANNEL" -> "0x2").
    QMap<QString, QString> storedSettings() {
        QMap<QString, QString> values;
        QByteArray out;
        wine({"reg", "query", "HKCU\\Software\\Norvak\\Kestrom"}, 60000, &out);
        for (const QByteArray& line : out.split('\n')) {
            const QList<QByteArray> parts = line.simplified().split(' ');
            if (parts.size() == 3 && parts[1].startsWith("REG_"))
                values[QString::fromLatin1(parts[0])] = QString::fromLatin1(parts[2]);
        }
        return values;
    }

    bool store(const QString& name, const QString& type, const QString& value) {
        return wine(
            {"reg", "add", "HKCU\\Software\\Norvak\\Kestrom", "/v", name, "/t", type, "/d", value, "/f"});
    }

    // The setup program's copies still running in this prefix.
    QStringList setupProgramsRunning() const {
        QStringList found;
        const QByteArray mark = "WINEPREFIX=" + FWine.Prefix().toLocal8Bit();
        for (const QString& pid : QDir(QStringLiteral("/proc")).entryList({"[0-9]*"}, QDir::Dirs)) {
            QFile cmd(QStringLiteral("/proc/%1/cmdline").arg(pid));
            QFile env(QStringLiteral("/proc/%1/environ").arg(pid));
            if (!cmd.open(QIODevice::ReadOnly) || !env.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = cmd.readAll();
            if (line.contains("setup-sim") && env.readAll().split('\0').contains(mark))
                found << pid + u' ' + QString::fromLocal8Bit(line).replace(u'\0', u' ');
        }
        return found;
    }

    // The wizard with the drive given, the panel's port named for the port list, the sample
    // setup program pointed at the server port: in script mode with record and script in
    // dir, or, without dir, as a sink.
    std::unique_ptr<WizardProcess> wizard(const QString& drive, const QString& dir = {},
                                          const QString& server = {}) {
        QProcessEnvironment env = FWine.Env();
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_TEST_DRIVE", drive);
        if (!server.isEmpty())
            env.insert("KESTROM_SETUP_PORT", server);
        env.insert("KESTROM_SETUP_MODE", dir.isEmpty() ? "sink" : "script");
        if (!dir.isEmpty()) {
            env.insert("KESTROM_SETUP_SCRIPT", windowsPath(dir + "/script.txt"));
            env.insert("KESTROM_SETUP_RECORD", windowsPath(dir + "/record.txt"));
        }
        return std::make_unique<WizardProcess>(QStringList{"wine", FApp + "/kestrom.exe"}, env);
    }

    // This run's folders of the wizard in the user's temporary folder (kestrom-XXXXXXXX).
    QStringList runDirectories() const {
        QStringList found;
        QDirIterator users(FWine.Prefix() + "/drive_c/users", QDir::Dirs | QDir::NoDotAndDotDot);
        while (users.hasNext())
            for (const QString& d : QDir(users.next() + "/Temp").entryList({"kestrom-*"}, QDir::Dirs))
                found << d;
        return found;
    }

    // Points the prefix's COM12 at the panel's pseudo-terminal: the port Wine defines leads
    // to FRoot/COM12, a link of ours.
    bool linkPort(const PanelSim& panel) {
        const QString link = FRoot.filePath(PortName);
        QFile::remove(link);
        return QFile::link(panel.portName(), link);
    }

    static qsizetype count(const WizardProcess& w, const QString& body) { return w.logBodies().count(body); }

    // The panel on COM12 and the wizard connected to it, the sample setup program as a sink
    // at the bridge. False (with the reason logged) when that did not come about.
    bool connectedSink(PanelSim& panel, std::unique_ptr<WizardProcess>& w) {
        if (!panel.startPty() || !linkPort(panel))
            return false;
        const QString server = QString::number(FreeTcpPort());
        w = wizard(QStringLiteral("channel=2 port=%1 server=%2 log connect commands").arg(PortName, server),
                   QString(), server);
        if (w->start() &&
            WizardProcess::waitFor([&] { return count(*w, " Оболочка подключилась к мосту.") == 1; }, 60000))
            return true;
        qWarning("%s", qPrintable(w->tail()));
        return false;
    }

    // The wizard's share of a core while until() comes true (or, without it, for ms).
    static bool cpuShare(const WizardProcess& w, int ms, const std::function<bool()>& until, double& share) {
        const qint64 pid = w.processId();
        const double cpu0 = processCpuMs(pid);
        QElapsedTimer wall;
        wall.start();
        const bool done = WizardProcess::waitFor(
            until ? until : [&] { return wall.elapsed() >= ms; }, until ? ms : ms + 1000);
        const double cpu1 = processCpuMs(pid);
        share = (cpu1 - cpu0) / double(qMax<qint64>(1, wall.elapsed()));
        return done && cpu0 >= 0 && cpu1 >= 0;
    }

  private slots:
    void initTestCase() {
        const QString zip = QStringLiteral(KESTROM_WINDOWS_ZIP);
        if (!QFileInfo::exists(zip))
            QSKIP(qPrintable("no Windows build at " + zip +
                             ": scripts/windows makes it where the Qt for Windows is at hand"));
        for (const char* tool : {"wine", "wineserver", "Xvfb"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        QVERIFY(FRoot.isValid());

        // The zip as a technician unpacks it.
        FApp = FRoot.filePath("app");
        QVERIFY(QDir().mkpath(FApp));
        QProcess unzip;
        unzip.setWorkingDirectory(FApp);
        unzip.start(QStringLiteral(KESTROM_CMAKE), {"-E", "tar", "xf", zip});
        QVERIFY(unzip.waitForFinished(60000) && unzip.exitCode() == 0);
        QVERIFY(QFileInfo::exists(FApp + "/kestrom.exe"));

        const QString wineFailed = FWine.Start(FRoot.path(), PortName);
        QVERIFY2(wineFailed.isEmpty(), qPrintable(wineFailed));
        QByteArray map;
        QVERIFY(wine({"reg", "query", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"}, 60000, &map));
        QVERIFY2(map.contains(PortName.toLatin1()), map.constData());
    }

    void cleanupTestCase() { FWine.Stop(); }

    void wholeCableSession() {
        // A choice saved by an earlier run comes back (the IP channel, COM1); the drive then
        // picks the cable and the panel's port, which the closed window saves.
        QVERIFY(store("CHANNEL", "REG_DWORD", "3"));
        QVERIFY(store("COM", "REG_SZ", "COM1"));
        QTemporaryDir dir;
        QFile script(dir.filePath("script.txt"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(WholeSessionScript());
        script.close();
        PanelSim panel;
        QVERIFY(panel.startPty());
        QVERIFY(linkPort(panel));
        const QString server = QString::number(FreeTcpPort());
        auto w = wizard(QStringLiteral("channel=2 port=%1 code=1234 server=%2 log connect commands")
                            .arg(PortName, server),
                        dir.path(), server);
        QVERIFY(w->start());
        QVERIFY2(w->waitForLine("TEST channel ", 60000), qPrintable(w->tail()));
        // The caption's version comes from the program's version resource.
        QCOMPARE(w->reported("TEST window "), QStringLiteral("Мастер подключения v.1.0.0.0"));
        QVERIFY2(w->reported("TEST ports ").split(u',').contains(PortName),
                 qPrintable(w->reported("TEST ports ")));
        QCOMPARE(w->reported("TEST channel "), QStringLiteral("3 port COM1"));

        const QString record = dir.filePath("record.txt");
        QString failure = RunWholeCableSession(*w, panel, record);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + w->tail()));
        // Started with no arguments, in the program's own directory, and ended by the disconnect.
        const QStringList rec = RecordLines(record);
        QVERIFY2(!rec.isEmpty() && rec.first().startsWith("cwd=Z:" + FApp + "\targs=\t"),
                 qPrintable(rec.join(u'|')));
        QVERIFY2(WizardProcess::waitFor([&] { return setupProgramsRunning().isEmpty(); }, 10000),
                 qPrintable(setupProgramsRunning().join(u'\n')));
        // The connection was found to be this user's program's: no word of a check that could
        // not be made, or of a connection closed.
        QVERIFY2(w->logBodies().filter("мост").filter(QRegularExpression("чьи|закрыто")).isEmpty(),
                 qPrintable(w->logBodies().join(u'\n')));
        // The copy ran from this run's own folder in the user's temporary folder, which goes
        // with the wizard.
        QCOMPARE(runDirectories().size(), 1);

        w->command("close");
        QVERIFY2(w->waitForExit(30000), qPrintable(w->tail()));
        QCOMPARE(runDirectories(), QStringList());
        QCOMPARE(w->exitCode(), 0);
        QVERIFY(w->lines().filter("BOX").isEmpty());
        const QMap<QString, QString> saved = storedSettings();
        QCOMPARE(saved.value("COM"), PortName);
        QCOMPARE(saved.value("CHANNEL"), QStringLiteral("0x2"));
    }

    void idleConnectionDoesNotSpin() {
        // Connected and nothing to relay: the input watch's read waits in the driver, and
        // the wizard sleeps in its event loop.
        PanelSim panel;
        std::unique_ptr<WizardProcess> w;
        QVERIFY(connectedSink(panel, w));
        double share = 1;
        QVERIFY(cpuShare(*w, 2000, {}, share)); // two idle seconds
        qInfo("idle relay: %.1f%% of a core", share * 100);
        QVERIFY2(share < 0.05, qPrintable(QStringLiteral("idle relay used %1% of a core").arg(share * 100)));
        w->command("close");
        QVERIFY(w->waitForExit(30000));
    }

    void setupProgramEndsDuringSession() {
        // The technician closes the setup program while the cable relay runs: its connection
        // closes, which on Windows keeps posting messages until it is read. The wizard notices,
        // stays idle and still answers the disconnect click (it once spun in its wait for good).
        PanelSim panel;
        std::unique_ptr<WizardProcess> w;
        QVERIFY(connectedSink(panel, w));
        const QStringList running = setupProgramsRunning();
        QCOMPARE(running.size(), 1);
        QVERIFY(::kill(running.first().section(u' ', 0, 0).toInt(), SIGKILL) == 0);
        QVERIFY2(
            WizardProcess::waitFor([&] { return count(*w, " Оболочка отклчилась от моста.") == 1; }, 10000),
            qPrintable(w->tail()));
        double share = 1;
        QVERIFY(cpuShare(*w, 1000, {}, share));
        qInfo("after the setup program ended: %.1f%% of a core", share * 100);
        QVERIFY2(share < 0.1, qPrintable(QStringLiteral("%1% of a core").arg(share * 100)));
        w->command("click");
        QVERIFY2(WizardProcess::waitFor([&] { return panel.rbReceived(); }, 10000), qPrintable(w->tail()));
        w->command("close");
        QVERIFY(w->waitForExit(30000));
    }

    void portVanishesAndReturns() {
        // The pseudo-terminal behind COM12 goes away and comes back under the same name, as
        // the panel's adapter would be pulled and plugged in again: the read fails, the port
        // is missed, reopened twice a second, and the setup program comes back to the bridge.
        PanelSim panel;
        std::unique_ptr<WizardProcess> w;
        QVERIFY(connectedSink(panel, w));
        const QString retry = QStringLiteral(" Попытка переокрытия COM порта");
        panel.unplug();
        QVERIFY2(WizardProcess::waitFor([&] { return count(*w, retry) >= 2; }, 10000), qPrintable(w->tail()));
        double share = 1;
        QVERIFY(cpuShare(
            *w, 10000, [&] { return count(*w, retry) >= 5; }, share));
        qInfo("port lost: %.1f%% of a core", share * 100);
        QVERIFY2(share < 0.2,
                 qPrintable(QStringLiteral("%1% of a core while the port was lost").arg(share * 100)));
        QVERIFY(panel.replug());
        QVERIFY2(WizardProcess::waitFor(
                     [&] {
                         return count(*w, " Порт успешно переоткрыт") == 1 &&
                                count(*w, " Оболочка подключилась к мосту.") == 2;
                     },
                     20000),
                 qPrintable(w->tail()));
        w->command("click");
        QVERIFY(WizardProcess::waitFor([&] { return panel.rbReceived(); }, 10000));
        w->command("close");
        QVERIFY(w->waitForExit(30000));
    }

    void setupProgramEndsWithTheWizard() {
        // The wizard killed (or crashed) while connected: its job object takes the setup
        // program with it, which would otherwise go on holding the bridge's port.
        PanelSim panel;
        std::unique_ptr<WizardProcess> w;
        QVERIFY(connectedSink(panel, w));
        QCOMPARE(setupProgramsRunning().size(), 1);
        w->kill();
        QVERIFY2(WizardProcess::waitFor([&] { return setupProgramsRunning().isEmpty(); }, 10000),
                 qPrintable(setupProgramsRunning().join(u'\n')));
    }

    void crashLeavesReportAndMinidump_data() {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("function");
        QTest::newRow("access violation") << "ACCESS"
                                          << "Exception: EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x"
                                          << "crashByAccessViolation";
        QTest::newRow("abort") << "ABORT"
                               << "Signal: SIGABRT (abort)"
                               << "crashByAbort";
        QTest::newRow("exception from a slot")
            << "THROW"
            << "Exception: std::terminate, std::runtime_error: thrown from a slot"
            << "throwFromSlot";
    }
    void crashLeavesReportAndMinidump() {
        // The crash handler's test program of the Windows build (not in the zip) beside the
        // unpacked program, with its Qt.
        QFETCH(QString, how);
        QFETCH(QString, what);
        QFETCH(QString, function);
        const QString build = QStringLiteral(KESTROM_WINDOWS_BUILD);
        const QString sim = build + "/kestrom-crash-sim.exe";
        if (!QFileInfo::exists(sim))
            QSKIP(qPrintable("no " + sim + ": scripts/windows builds it"));
        QFile::remove(FApp + "/kestrom-crash-sim.exe");
        QVERIFY(QFile::copy(sim, FApp + "/kestrom-crash-sim.exe"));
        QDirIterator users(FWine.Prefix() + "/drive_c/users", QDir::Dirs | QDir::NoDotAndDotDot);
        QString dir;
        while (users.hasNext() && dir.isEmpty()) {
            const QString user = users.next();
            if (QFileInfo(user + "/AppData/Local").isDir())
                dir = user + "/AppData/Local/Norvak/Kestrom/crashes";
        }
        QVERIFY(!dir.isEmpty());
        const QStringList before = QDir(dir).entryList({"crash-*.txt"}, QDir::Files);

        QProcessEnvironment env = FWine.Env();
        // No Wine debugger for the unhandled exception: the process ends as on Windows.
        env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=;winedbg.exe=d");
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral("wine"), {FApp + "/kestrom-crash-sim.exe", how});
        QVERIFY(p.waitForFinished(60000));
        QVERIFY2(p.exitCode() != 0, qPrintable(p.readAllStandardError()));

        QStringList added = QDir(dir).entryList({"crash-*.txt"}, QDir::Files, QDir::Name);
        for (const QString& old : before)
            added.removeAll(old);
        QCOMPARE(added.size(), 1);
        const QString report = dir + "/" + added.first();
        QFile text(report);
        QVERIFY(text.open(QIODevice::ReadOnly));
        const QString body = QString::fromUtf8(text.readAll());
        QVERIFY2(body.contains(what), qPrintable(body));
        QVERIFY(body.contains("Thread: GUI thread"));
        QVERIFY(body.contains("Connection: channel=cable; link=connected; port=COM5; setup program running"));
        QVERIFY(body.contains("+CHECK_MASTER_CODE=1,\"****\""));
        QVERIFY(!body.contains("Qz7w"));
        QFile dump(report.chopped(4) + ".dmp");
        QVERIFY(dump.open(QIODevice::ReadOnly));
        QCOMPARE(dump.read(4), QByteArray("MDMP"));

        // The script names the frame of the function that crashed from the build's own file.
        QProcess named;
        named.start(QStringLiteral(KESTROM_SOURCE_DIR "/scripts/symbolize-windows-crash"), {report, build});
        QVERIFY(named.waitForFinished(60000));
        QCOMPARE(named.exitCode(), 0);
        const QString out = QString::fromUtf8(named.readAllStandardOutput());
        QVERIFY2(QRegularExpression(" #\\d+ 0x[0-9a-f]+ kestrom-crash-sim\\.exe\\+0x[0-9a-f]+ in (.*::)?" +
                                    function + "(\\(.*\\))? at \\S+:\\d+")
                     .match(out)
                     .hasMatch(),
                 qPrintable(out));
    }

    void secondStartWarnsAndExits() {
        auto first = wizard(QStringLiteral("commands"));
        QVERIFY(first->start());
        QVERIFY2(first->waitForLine("TEST channel ", 60000), qPrintable(first->tail()));

        auto second = wizard(QString());
        QVERIFY(second->start());
        QVERIFY2(second->waitForExit(60000), qPrintable(second->tail()));
        QCOMPARE(second->exitCode(), 0);
        QVERIFY2(second->lines().contains("BOX [Предупреждение] Приложение уже запущено."),
                 qPrintable(second->tail()));
        QVERIFY(second->lines().filter("TEST window").isEmpty()); // no window was made
        QVERIFY(first->running());

        first->command("close");
        QVERIFY(first->waitForExit(30000));
    }
};

QTEST_MAIN(TestWine)
#include "tst_wine.moc"
