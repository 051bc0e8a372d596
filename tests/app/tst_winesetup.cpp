// A Windows setup program on Linux: the real wizard (offscreen), the panel simulator on a
// pseudo-terminal and the Windows build of the sample setup program (setup-sim.exe) run
// through Wine in a prefix of the test's own. Skips where Wine or mingw-w64 is missing.
#include "PanelSim.h"
#include "Scenario.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <algorithm>
#include <csignal>

namespace {

// Live processes (zombies are no longer running) whose environment names the prefix:
// everything Wine started for it, wineserver and the prefix's services included.
QStringList processesOf(const QString& prefix) {
    const QByteArray mark = "WINEPREFIX=" + QFile::encodeName(prefix);
    QStringList found;
    for (const QFileInfo& entry : QDir("/proc").entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool number = false;
        entry.fileName().toInt(&number);
        QFile environ(entry.filePath() + "/environ"), stat(entry.filePath() + "/stat");
        if (!number || !environ.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray st = stat.readAll();
        if (st.mid(st.lastIndexOf(')') + 2, 1) == "Z" || !environ.readAll().split('\0').contains(mark))
            continue;
        QFile cmd(entry.filePath() + "/cmdline");
        cmd.open(QIODevice::ReadOnly);
        found << entry.fileName() + " " + QString::fromLocal8Bit(cmd.readAll().replace('\0', ' '));
    }
    return found;
}

// Ends every process of the prefix. Wine 8's server sometimes dies on its own assertion
// ("sock_get_poll_events: Assertion ... failed") when a program it serves is killed; the
// prefix's services then stay for good, holding ctest's output pipe open.
void killAllOf(const QString& prefix) {
    for (const QString& p : processesOf(prefix))
        ::kill(p.section(' ', 0, 0).toInt(), SIGKILL);
}

bool wineServerAlive(const QStringList& processes) {
    return std::any_of(processes.begin(), processes.end(),
                       [](const QString& p) { return p.section(' ', 1, 1).contains("wineserver"); });
}

const QByteArray Ini = "OLDCONNECT=0\r\nSP=0\r\nRB=1\r\nSIMPANEL=setup-sim.exe\r\n";

} // namespace

class TestWineSetup : public QObject {
    Q_OBJECT
    QTemporaryDir FPrefix;

  private slots:
    void initTestCase() {
        if (QString(KESTROM_SETUP_SIM_EXE).isEmpty() || !QFile::exists(KESTROM_SETUP_SIM_EXE))
            QSKIP("setup-sim.exe was not built: mingw-w64 (g++-mingw-w64-x86-64-posix) is not installed");
        if (QStandardPaths::findExecutable("wine").isEmpty())
            QSKIP("Wine is not installed (apt install wine)");
        // A prefix of the test's own; no offer to install Mono or Gecko, no diagnostics.
        qputenv("WINEPREFIX", FPrefix.path().toLocal8Bit());
        qputenv("WINEDLLOVERRIDES", "mscoree,mshtml=");
        qunsetenv("WINEDEBUG"); // the wizard keeps Wine quiet by itself
    }
    void cleanupTestCase() {
        // Whatever a failed case left of the prefix goes with it.
        if (!processesOf(FPrefix.path()).isEmpty())
            QProcess::execute("wineserver", {"-k"});
        killAllOf(FPrefix.path());
    }

    // The first session starts Wine in a new prefix (seconds), the second in a prepared
    // one. Each time: every byte value both ways, a disconnect ends the program, and no
    // process of Wine is left for the prefix.
    void sessionThroughWine_data() {
        QTest::addColumn<QString>("start");
        QTest::newRow("first start, new prefix") << "first";
        QTest::newRow("later start") << "later";
    }
    void sessionThroughWine() {
        QFETCH(QString, start);
        FormsFixture fx;
        fx.WriteSetupIni(Ini);
        QVERIFY(QFile::copy(KESTROM_SETUP_SIM_EXE, fx.appDir() + "/setup-sim.exe"));
        PanelSim panel;
        QVERIFY(panel.startPty());
        const QString port = panel.portName();
        SetCOMPortEnumeratorForTest([port] { return QStringList{port}; });
        fx.Create();
        LOGForm->show();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
        f->ConnectTypeComboBoxChange();
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QTemporaryDir recordDir;
        const QByteArray all = AllByteValues().toHex(' ');
        const QString record = PrepareSetupSim(recordDir.path(), TCPServerSettingsForm->PortEdit->text(),
                                               "script", "send " + all + "\nexpect " + all + "\n");
        const auto records = [&] {
            QFile r(record);
            return r.open(QIODevice::ReadOnly)
                       ? QString::fromUtf8(r.readAll()).split('\n', Qt::SkipEmptyParts)
                       : QStringList();
        };

        QElapsedTimer clock;
        qint64 connectedAfter = -1, pid = 0;
        Scenario s([f] { f->FConnected = false; });
        s.step(
             "the setup program started through Wine",
             [f] { return f->FSetupIsStarted && f->FSetupProcInfo; },
             [&] {
                 clock.start();
                 pid = f->FSetupProcInfo->processId();
                 QCOMPARE(f->FSetupProcInfo->program(), QStandardPaths::findExecutable("wine"));
                 QCOMPARE(f->FSetupProcInfo->arguments(), QStringList{f->FSetupFile});
             })
            .step(
                "the Windows program connected", [f] { return f->FSetupConnected; },
                [&] { connectedAfter = clock.elapsed(); },
                // Wine's first start in a new prefix (it makes the prefix) takes seconds.
                90000)
            .step(
                "every byte value went to the panel and back",
                [&] { return records().contains("script pass"); }, [f] { f->URLLabel1->Click(); }, 20000);
        s.start();
        f->URLLabel1->Click();
        s.poll();
        QVERIFY2(s.failure().isEmpty() && s.finished(),
                 qPrintable(s.failure() + "\n" + records().join('\n') + "\n" + LogLines().join('\n')));
        QVERIFY(panel.deviceData().startsWith(AllByteValues()));
        QVERIFY(fx.boxes.boxes.isEmpty());
        // Its record: started in the wizard's directory (Z: is Wine's drive for /), no arguments.
        QVERIFY2(records().value(0).startsWith("cwd=Z:" + fx.appDir() + "\targs=\t"),
                 qPrintable(records().value(0)));
        qInfo("%s: the Windows program connected %lld ms after its start", qPrintable(start), connectedAfter);

        // The disconnect ended it at once, and removed its copy.
        QVERIFY(!f->FSetupIsStarted);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/%1/stat").arg(pid)), 5000);
        // Wine's own processes for the prefix (wineserver, services.exe, winedevice.exe, ...)
        // end by themselves once its last program has gone.
        QElapsedTimer linger;
        linger.start();
        const auto gone = [&] { return processesOf(FPrefix.path()).isEmpty(); };
        const auto serverDied = [&] { return !gone() && !wineServerAlive(processesOf(FPrefix.path())); };
        if (!QTest::qWaitFor([&] { return gone() || serverDied(); }, 20000) || gone() ||
            QTest::qWaitFor(gone, 3000)) {
            QVERIFY2(gone(), qPrintable(processesOf(FPrefix.path()).join('\n')));
        } else {
            const QStringList left = processesOf(FPrefix.path());
            killAllOf(FPrefix.path());
            QSKIP(qPrintable("Wine's own server died (a fault of Wine, not of the wizard); its programs were "
                             "left behind and ended by the test:\n" + left.join('\n')));
        }
        qInfo("%s: no process of the prefix left %lld ms after the disconnect", qPrintable(start),
              linger.elapsed());
    }
};

QTEST_MAIN(TestWineSetup)
#include "tst_winesetup.moc"
