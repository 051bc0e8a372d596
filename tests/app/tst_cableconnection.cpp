// A cable connection end to end: the real main window (offscreen), the panel simulator on
// a pseudo-terminal, the local server on 127.0.0.1 and the sample setup program as a real
// child process.
#include "PanelSim.h"
#include "Scenario.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMNotifier.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "log/TimeFuncs.h"
#include "relay/RelayEnd.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <signal.h>
#include <time.h>

namespace {
int countBodies(const QString& body) {
    int n = 0;
    for (const QString& l : LogLines())
        if (LogBody(l) == body)
            ++n;
    return n;
}

bool hasBody(const QString& body) {
    return countBodies(body) > 0;
}

// CPU time of the calling thread (the GUI thread, where the relay runs), ms.
double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Every byte value, in a pattern that does not repeat within a few MiB.
QByteArray pattern(qsizetype size) {
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 7) ^ (i >> 8) ^ (i >> 17));
    return b;
}

// Resident set of this process (the wizard runs in it), bytes.
qint64 residentBytes() {
    QFile f("/proc/self/statm");
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    return f.readAll().split(' ').value(1).toLongLong() * 4096;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true; // its quarantine keeps freed memory resident
#else
constexpr bool UnderAddressSanitizer = false;
#endif
} // namespace

// The setup program's side played by the test itself, so that it can send as much as it
// likes, as fast as it likes: the sample program is pointed at a closed port and never
// gets through, and this socket is the server's only client.
struct SetupPeer : QObject {
    QTcpSocket socket;
    QByteArray received;
    SetupPeer() {
        qputenv("KESTROM_SETUP_PORT", "1");
        connect(&socket, &QTcpSocket::readyRead, this, [this] { received += socket.readAll(); });
    }
    // The first steps of a session: connect once the server listens, then act once the
    // server has accepted this socket as its only client.
    Scenario& join(Scenario* s, std::function<void()> accepted) {
        TMainKestromForm* f = MainKestromForm;
        return s
            ->step(
                "server listening", [f] { return f->FConnected && f->ServerSocket->isListening(); },
                [this, f] { socket.connectToHost(QHostAddress::LocalHost, f->ServerPort()); })
            .step(
                "peer accepted", [f] { return f->FSetupConnected && f->ServerConnectionCount() == 1; },
                std::move(accepted));
    }
};

// A panel that only takes drainBytes every drainPeriodMs and echoes nothing.
PanelSim::Config slowLine(int drainBytes, int drainPeriodMs) {
    PanelSim::Config config;
    config.echoDeviceData = false;
    config.drainBytes = drainBytes;
    config.drainPeriodMs = drainPeriodMs;
    return config;
}
namespace {

const QByteArray DefaultIni = "OLDCONNECT=0\r\nSP=0\r\nRB=1\r\nSIMPANEL=setup-sim\r\n";
} // namespace

// One bench: forms, a panel on a pseudo-terminal presented as the only port, the sample
// setup program beside the "executable", and a private server port.
struct CableBench {
    FormsFixture fx;
    QTemporaryDir recordDir;
    PanelSim panel;
    QString record;

    explicit CableBench(const PanelSim::Config& config, const QByteArray& ini = DefaultIni,
                        const QByteArray& setupMode = "sink", const QByteArray& script = {}) {
        fx.WriteSetupIni(ini);
        QFile::copy(KESTROM_SETUP_SIM, fx.appDir() + "/setup-sim");
        panel.setConfig(config);
        panel.startPty();
        const QString name = panel.portName();
        SetCOMPortEnumeratorForTest([name] { return QStringList{name}; });
        fx.Create();
        LOGForm->show();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
        f->ConnectTypeComboBoxChange();
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        record =
            PrepareSetupSim(recordDir.path(), TCPServerSettingsForm->PortEdit->text(), setupMode, script);
    }
    ~CableBench() { SetTickClockForTest(0, 1); }

    QStringList records() const {
        QFile f(record);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    int recordCount(const QString& line) const { return int(records().count(line)); }

    void useMasterCode(const QString& code) {
        MainKestromForm->MKChB->setChecked(true);
        MainKestromForm->MKChBClick();
        MainKestromForm->MasterKeyEdit->setText(code);
    }

    // Clicks "Подключить" and runs the scenario inside the connection the click runs.
    QString connectAndRun(Scenario& scenario) {
        scenario.start();
        MainKestromForm->URLLabel1->Click();
        scenario.poll(); // a last step may only wait for the connection's end
        if (!scenario.failure().isEmpty())
            return scenario.failure();
        return scenario.finished() ? QString()
                                   : QStringLiteral("the connection ended before the scenario did");
    }

    Scenario* scenario() {
        return new Scenario([] { MainKestromForm->FConnected = false; }, &panel);
    }
};

class TestCableConnection : public QObject {
    Q_OBJECT
  private slots:
    void wholeSession() {
        // Every byte value, then a packet of text: the first starts with a NUL and holds a
        // CR, so the log shows nothing of it; the second shows as a line of its own.
        QByteArray script = "send " + AllByteValues().toHex(' ') + "\nexpect " + AllByteValues().toHex(' ') +
                            "\nsend 41 42 0d\nexpect 41 42 0d\n";
        CableBench b(PanelSim::Config{}, DefaultIni, "script", script);
        b.useMasterCode("1234");
        TMainKestromForm* f = MainKestromForm;
        QString setupPid, copy;

        Scenario* s = b.scenario();
        s->step(
             "setup program connected", [&] { return f->FSetupConnected; },
             [&] {
                 QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отключить"));
                 QCOMPARE(f->URLLabel1->Tag, 2);
                 QVERIFY(f->URLLabel1->isEnabled());
                 QCOMPARE(f->Label7->text(), QStringLiteral("Подключен"));
                 QVERIFY(!f->ConnectTypeComboBox->isEnabled() && !f->PortsListComboBox->isEnabled());
                 // The copy runs from this run's private directory, not the shared one.
                 copy = f->FSetupFile;
                 QVERIFY2(copy.startsWith(b.fx.tempDir() + "/kestrom-"), qPrintable(copy));
                 QVERIFY(copy.endsWith("/setup-sim.exe") && QFileInfo::exists(copy));
                 QCOMPARE(ModeOf(QFileInfo(copy).path()), 0700);
             })
            .step(
                "every byte value went to the panel and back",
                [&] { return b.records().contains("script pass"); }, [&] { f->URLLabel1->Click(); });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + LogLines().join('\n')));

        // The panel saw the dialogue, the relayed bytes unchanged (0x11 and 0x13 included),
        // and "+rb\r" before the port closed.
        QCOMPARE(b.panel.commands().mid(0, 2),
                 (QList<QByteArray>{"+CHECK_MASTER_CODE=1,\"1234\"", "+VER_INFO=?"}));
        QVERIFY(b.panel.deviceData().startsWith(AllByteValues()));
        QTRY_VERIFY(b.panel.rbReceived());

        // Started with no arguments, in the program's own directory.
        const QStringList rec = b.records();
        QVERIFY(!rec.isEmpty());
        QVERIFY2(rec.first().startsWith("cwd=" + b.fx.appDir() + "\targs=\t"), qPrintable(rec.first()));
        setupPid = rec.first().section("pid=", 1);

        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->URLLabel1->Tag, 0);
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QVERIFY(f->ConnectTypeComboBox->isEnabled() && f->PortsListComboBox->isEnabled());
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(!f->ServerSocket->isListening());
        QVERIFY(!f->FSetupIsStarted);
        QVERIFY(!QFileInfo::exists(copy));
        QTRY_VERIFY(::kill(setupPid.toInt(), 0) != 0); // the setup program has ended

        const QStringList bodies = [] {
            QStringList out;
            for (const QString& l : LogLines())
                out << LogBody(l);
            return out;
        }();
        const QStringList expectedInOrder = {
            " COM порт успешно открыт",
            "APP->COM +CHECK_MASTER_CODE=1,\"1234\"",
            "COM->APP OK",
            "APP->COM +VER_INFO=?",
            "COM->APP +VER_INFO=1,\"SIMPANEL.01.00\",\"2024\"",
            " Оболочка подключилась к мосту.",
            " Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе (разрыв "
            "подключения)",
            "APP->COM +rb",
        };
        qsizetype at = 0;
        for (const QString& e : expectedInOrder) {
            at = bodies.indexOf(e, at);
            QVERIFY2(at >= 0, qPrintable("missing or out of order: " + e + "\n" + bodies.join('\n')));
        }
        QVERIFY2(bodies.contains("TCP->COM AB"), qPrintable(bodies.join('\n')));
        QVERIFY(std::any_of(bodies.begin(), bodies.end(),
                            [](const QString& l) { return l.startsWith("COM->TCP "); }));
    }

    void deviceNotDetected_data() {
        QTest::addColumn<bool>("silent");
        QTest::newRow("silent panel") << true;
        QTest::newRow("master code refused") << false;
    }
    void deviceNotDetected() {
        QFETCH(bool, silent);
        PanelSim::Config config;
        config.silent = silent;
        CableBench b(config);
        b.useMasterCode(silent ? "1234" : "9999");
        SetTickClockForTest(0, 20); // the 5 s answer limit passes in a quarter second
        MainKestromForm->URLLabel1->Click();

        QCOMPARE(b.fx.boxes.texts(), QStringList{"Устройство не обнаружено, работа программы невозможна."});
        QCOMPARE(b.fx.boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QCOMPARE(countBodies(" Устройство не обнаружено, работа программы невозможна"), 1);
        QVERIFY(hasBody(" Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
        // A refused master code stops the dialogue before the version request.
        QVERIFY(!b.panel.commands().contains("+VER_INFO=?"));
        QCOMPARE(MainKestromForm->FCOMHandle, -1);
        QCOMPARE(MainKestromForm->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
        QVERIFY(MainKestromForm->ConnectTypeComboBox->isEnabled());
        QVERIFY(!MainKestromForm->ServerSocket->isListening());
    }

    void noSetupProgram_data() {
        QTest::addColumn<bool>("ticked");
        QTest::addColumn<QString>("text");
        QTest::newRow("master code ticked")
            << true
            << "Программа настройки для данного прибора не обнаружена, либо прибор не "
               "доступен, либо неверно введен мастер-код.";
        QTest::newRow("no master code")
            << false
            << "Программа настройки для данного прибора не обнаружена, либо прибор не "
               "доступен, либо не указан мастер-код.";
    }
    void noSetupProgram() {
        QFETCH(bool, ticked);
        QFETCH(QString, text);
        CableBench b(PanelSim::Config{}, "RB=0\r\nOTHER=setup-sim\r\n");
        if (ticked)
            b.useMasterCode("1234");
        MainKestromForm->URLLabel1->Click();
        QCOMPARE(b.fx.boxes.texts(), QStringList{text});
        QVERIFY(hasBody(" Не найдена программа настройки"));
        QVERIFY(hasBody(" Установили \"Нет подключения\", главный цикл, нет программы настройки"));
        QVERIFY(!MainKestromForm->ServerSocket->isListening());
        QCOMPARE(MainKestromForm->FCOMHandle, -1);
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
        QVERIFY(MainKestromForm->FVerInfo.isEmpty());
    }

    void busyServerPortEndsTheAttemptCleanly() {
        // Another program holds the server port: no exception, a box naming the port,
        // and the window is ready for the next attempt.
        CableBench b(PanelSim::Config{});
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 0));
        TCPServerSettingsForm->PortEdit->setText(QString::number(squatter.serverPort()));
        MainKestromForm->URLLabel1->Click();
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        QVERIFY(b.fx.boxes.boxes[0].text.contains(QString::number(squatter.serverPort())));
        QCOMPARE(MainKestromForm->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
        QCOMPARE(MainKestromForm->FCOMHandle, -1);
        QVERIFY(MainKestromForm->PortsListComboBox->isEnabled());
        QVERIFY(!MainKestromForm->FSetupIsStarted);
    }

    // The server cannot listen again once the port is back (its port was lost meanwhile and
    // another program took it): the connection ends with the box naming the port, as when
    // the first start fails, never "Подключен" with nothing listening.
    void serverRestartFailureEndsTheConnection() {
        CableBench b(PanelSim::Config{});
        TMainKestromForm* f = MainKestromForm;
        QTcpServer squatter;
        const quint16 port = TCPServerSettingsForm->PortEdit->text().toUShort();
        Scenario* s = b.scenario();
        s->step(
             "setup program connected", [&] { return f->FSetupConnected && b.recordCount("connected") == 1; },
             [&] { b.panel.unplug(); })
            .step(
                "server stopped", [&] { return !f->ServerSocket->isListening() && f->FNeedCOMReconnect; },
                [&] {
                    QVERIFY(f->ServerSocket->isHeld());
                    f->ServerSocket->Release();
                    QVERIFY(squatter.listen(QHostAddress::LocalHost, port));
                    b.panel.replug();
                })
            .step("connection ended", [&] { return !f->FConnected; });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + LogLines().join('\n')));
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        QVERIFY(b.fx.boxes.boxes[0].text.contains(QString::number(port)));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QVERIFY(!f->ServerSocket->isListening() && !f->ServerSocket->isHeld());
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(!f->FSetupIsStarted);
        QVERIFY(f->PortsListComboBox->isEnabled());
    }

    void portVanishesAndReturns() {
        CableBench b(PanelSim::Config{});
        TMainKestromForm* f = MainKestromForm;
        double lostCpu0 = 0, lostShare = 1;
        QElapsedTimer lostWall;
        Scenario* s = b.scenario();
        s->step(
             "setup program connected", [&] { return f->FSetupConnected && b.recordCount("connected") == 1; },
             [&] { b.panel.unplug(); })
            .step(
                "device shown unavailable, server stopped",
                [&] {
                    return f->Label7->text() == "Прибор недоступен" && !f->ServerSocket->isListening() &&
                           f->FNeedCOMReconnect;
                },
                [&] {
                    QCOMPARE(f->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
                    QCOMPARE(f->FCOMHandle, -1);
                    lostCpu0 = threadCpuMs();
                    lostWall.start();
                })
            .step("setup program lost its connection", [&] { return b.recordCount("disconnected") >= 1; })
            .step(
                "reopen attempts repeat", [&] { return countBodies(" Попытка переокрытия COM порта") >= 4; },
                [&] {
                    lostShare = (threadCpuMs() - lostCpu0) / double(qMax<qint64>(1, lostWall.elapsed()));
                    b.panel.replug();
                })
            .step("port reopened",
                  [&] { return hasBody(" Порт успешно переоткрыт") && f->Label7->text() == "Подключен"; })
            .step("setup program connected again", [&] { return b.recordCount("connected") >= 2; })
            .step(
                // The old port's notifiers and the dropped connection are deleted during the
                // session, not kept until its end: many reconnects would pile them up.
                "nothing of the lost port kept",
                [&] {
                    return f->findChildren<SerialEnd*>(Qt::FindDirectChildrenOnly).size() == 1 &&
                           f->ServerSocket->findChildren<QAbstractSocket*>(Qt::FindDirectChildrenOnly)
                                   .size() == f->ServerConnectionCount();
                },
                [&] { f->URLLabel1->Click(); }, 3000);
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + LogLines().join('\n')));

        // A hung-up port keeps reporting itself readable; watching it would burn a core.
        QVERIFY2(lostShare < 0.2,
                 qPrintable(QStringLiteral("%1% of a core while the port was lost").arg(lostShare * 100)));
        // About twice a second: the gaps between attempts are near 500 ms.
        QList<QTime> times;
        for (const QString& l : LogLines())
            if (LogBody(l) == " Попытка переокрытия COM порта")
                times << QTime::fromString(l.mid(11, 12), "hh:mm:ss.zzz");
        for (int i = 1; i < times.size(); ++i) {
            const int gap = times[i - 1].msecsTo(times[i]);
            QVERIFY2(gap >= 400 && gap <= 1500, qPrintable(QString::number(gap)));
        }
        QCOMPARE(f->Label7->palette().color(QPalette::WindowText), f->palette().color(QPalette::ButtonText));
    }

    void idleBridgeDoesNotSpin() {
        // Connected and nothing to relay: the loop sleeps in the event loop.
        CableBench b(PanelSim::Config{});
        TMainKestromForm* f = MainKestromForm;
        double cpu0 = 0;
        QElapsedTimer wall;
        double share = 1;
        Scenario* s = b.scenario();
        s->setInterval(100);
        s->step(
             "setup program connected", [&] { return f->FSetupConnected; },
             [&] {
                 cpu0 = threadCpuMs();
                 wall.start();
             })
            .step(
                "two idle seconds", [&] { return wall.elapsed() >= 2000; },
                [&] {
                    share = (threadCpuMs() - cpu0) / double(wall.elapsed());
                    f->URLLabel1->Click();
                });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(share < 0.05, qPrintable(QStringLiteral("idle relay used %1% of a core").arg(share * 100)));
    }

    void packetDuringDisconnectIsNotDelivered() {
        // A packet from the setup program that arrives while the disconnect click is being
        // handled must not reach the panel, and its loss is logged.
        CableBench b(PanelSim::Config{});
        TMainKestromForm* f = MainKestromForm;
        QTcpSocket second;
        Scenario* s = b.scenario();
        s->step(
             "server listening", [&] { return f->ServerSocket->isListening() && f->FConnected; },
             [&] { second.connectToHost(QHostAddress::LocalHost, f->ServerPort()); })
            .step(
                "both connected", [&] { return f->ServerConnectionCount() == 2; },
                [&] {
                    // The packet is in the wizard's socket and the click is waiting when
                    // the relay next takes the setup program's bytes.
                    second.write("PKT-LOST");
                    second.flush();
                    QMetaObject::invokeMethod(
                        f, [f] { f->URLLabel1->Click(); }, Qt::QueuedConnection);
                })
            .step("connection ended", [&] { return !f->FConnected; });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY(hasBody(" Соединение было прервано, последний пакет не доставлен"));
        QVERIFY(!b.panel.deviceData().contains("PKT-LOST"));
        QVERIFY(!hasBody("TCP->COM PKT-LOST"));
    }

    // The panel's bytes while no setup program is connected are lost, and the log says when
    // the loss began and, once one takes them again, how many bytes it took.
    void deviceBytesWithoutSetupProgram() {
        CableBench b(PanelSim::Config{});
        TMainKestromForm* f = MainKestromForm;
        SetupPeer peer; // points the sample program elsewhere: nobody connects until told
        Scenario* s = b.scenario();
        s->step(
             "relaying, nobody connected", [&] { return f->FConnected && f->ServerSocket->isListening(); },
             [&] { b.panel.send("EARLY"); })
            .step(
                "loss begins", [&] { return hasBody(" Оболочка не подключена, данные прибора теряются"); },
                [&] { b.panel.send("LOST!"); })
            .step(
                "lost as well", [&] { return countBodies("COM->TCP LOST!") == 1; },
                [&] { peer.socket.connectToHost(QHostAddress::LocalHost, f->ServerPort()); })
            .step(
                "peer accepted", [&] { return f->FSetupConnected; }, [&] { b.panel.send("LATE"); })
            .step(
                "peer takes again", [&] { return peer.received == "LATE"; }, [&] { f->URLLabel1->Click(); })
            .step("connection ended", [&] { return !f->FConnected; });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + LogLines().join('\n')));
        QCOMPARE(countBodies(" Оболочка не подключена, данные прибора теряются"), 1);
        QVERIFY(hasBody(" Оболочка снова принимает данные, потеряно байт: 10"));
    }

    void setupBytesAreNeverOverwritten() {
        // Several packets from the setup program arriving before the relay writes any of
        // them all reach the panel, in order (they used to overwrite one another).
        QByteArray script;
        QByteArray expected;
        for (int i = 0; i < 20; ++i) {
            const QByteArray chunk = QByteArray::number(i).rightJustified(3, '0') + ";";
            script += "send " + chunk.toHex(' ') + "\n";
            expected += chunk;
        }
        script += "expect " + expected.toHex(' ') + "\n";
        CableBench b(PanelSim::Config{}, DefaultIni, "script", script);
        TMainKestromForm* f = MainKestromForm;
        Scenario* s = b.scenario();
        s->step(
            "script done", [&] { return b.records().contains("script pass"); },
            [&] { f->URLLabel1->Click(); });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + b.records().join('\n')));
        QVERIFY(b.panel.deviceData().startsWith(expected));
    }

    void slowLineTakesTheWholeUpload_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("drainBytes");
        QTest::addColumn<int>("drainPeriodMs");
        // About 10 kB/s, a 115200-baud line: the port stays full for seconds.
        QTest::newRow("96 KiB at once over a 10 kB/s line") << 96 * 1024 << 100 << 10;
        // Four times the queue's bound: the setup program is held back and let go again.
        QTest::newRow("1 MiB over a 1 MB/s line") << 1024 * 1024 << 2000 << 2;
    }
    void slowLineTakesTheWholeUpload() {
        // A full port is no failure: the upload arrives whole and in order while the
        // panel's own bytes keep reaching the setup program, and the window stays live.
        QFETCH(int, size);
        QFETCH(int, drainBytes);
        QFETCH(int, drainPeriodMs);
        CableBench b(slowLine(drainBytes, drainPeriodMs));
        SetupPeer peer;
        TMainKestromForm* f = MainKestromForm;
        const QByteArray upload = pattern(size);

        QByteArray events;
        QTimer talk;
        talk.setInterval(100);
        connect(&talk, &QTimer::timeout, [&] {
            const QByteArray e = "EV" + QByteArray::number(events.size() / 8).rightJustified(5, '0') + ";";
            events += e;
            b.panel.send(e);
        });
        qsizetype queuePeak = 0;
        qint64 gapPeak = 0;
        QElapsedTimer since;
        QTimer probe; // the GUI thread's longest stall: the largest gap between 10 ms ticks
        probe.setInterval(10);
        connect(&probe, &QTimer::timeout, [&] {
            queuePeak = qMax(queuePeak, f->SetupBytesWaiting());
            if (since.isValid())
                gapPeak = qMax(gapPeak, since.restart());
            else
                since.start();
        });

        Scenario* s = b.scenario();
        peer.join(s,
                  [&] {
                      peer.socket.write(upload); // all at once
                      talk.start();
                      probe.start();
                  })
            .step(
                "upload delivered", [&] { return b.panel.deviceData().size() >= size; }, [&] { talk.stop(); },
                30000)
            .step(
                "the panel's events reached the setup program", [&] { return peer.received == events; },
                [&] {
                    probe.stop();
                    f->URLLabel1->Click();
                });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(),
                 qPrintable(failure + QStringLiteral("\ndelivered %1 of %2, peer got %3")
                                          .arg(b.panel.deviceData().size())
                                          .arg(size)
                                          .arg(QString::fromLatin1(peer.received.right(40)))));
        QVERIFY(b.panel.deviceData().left(size) == upload);
        QVERIFY(events.size() >= 8);
        QVERIFY(!hasBody(" Ошибка записи в COM порт"));
        QVERIFY(!hasBody(" Соединение было прервано, последний пакет не доставлен"));
        QVERIFY2(queuePeak <= TMainKestromForm::SetupQueueLimit, qPrintable(QString::number(queuePeak)));
        QVERIFY2(gapPeak < 100, qPrintable(QStringLiteral("the window stalled for %1 ms").arg(gapPeak)));
    }

    void disconnectDuringSlowUploadIsPrompt() {
        CableBench b(slowLine(100, 10));
        SetupPeer peer;
        TMainKestromForm* f = MainKestromForm;
        QElapsedTimer clickAsked;
        qint64 clickLatency = -1;
        Scenario* s = b.scenario();
        peer.join(s, [&] { peer.socket.write(pattern(96 * 1024)); })
            .step(
                "upload under way, port full",
                [&] { return b.panel.deviceData().size() > 2000 && f->Observe().portAwaitsRoom; },
                [&] {
                    clickAsked.start();
                    QTimer::singleShot(0, f, [&] {
                        clickLatency = clickAsked.elapsed();
                        f->URLLabel1->Click();
                    });
                })
            .step("connection ended", [&] { return !f->FConnected; });
        QString failure = b.connectAndRun(*s);
        const qint64 ended = clickAsked.elapsed();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY2(clickLatency >= 0 && clickLatency < 100, qPrintable(QString::number(clickLatency)));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->FCOMHandle, -1);
        // The port closed after at most the short wait "+rb\r" may take on a full line.
        QVERIFY2(ended < 1000, qPrintable(QString::number(ended)));
    }

    void floodingSetupProgramIsHeldBack() {
        // The setup program sends 50 MiB as fast as it can into a 10 kB/s line: the wizard
        // stops reading it instead of queueing without end, and TCP holds it back.
        CableBench b(slowLine(100, 10));
        SetupPeer peer;
        TMainKestromForm* f = MainKestromForm;
        constexpr qint64 Offer = 50 * 1024 * 1024;
        qint64 offered = 0;
        const QByteArray chunk = pattern(64 * 1024);
        auto feed = [&] {
            while (offered < Offer && peer.socket.bytesToWrite() < 256 * 1024) {
                peer.socket.write(chunk);
                offered += chunk.size();
            }
        };
        connect(&peer.socket, &QTcpSocket::bytesWritten, feed);
        qsizetype queuePeak = 0;
        qint64 rss0 = 0;
        qint64 rssPeak = 0;
        QTimer probe;
        probe.setInterval(20);
        connect(&probe, &QTimer::timeout, [&] {
            queuePeak = qMax(queuePeak, f->SetupBytesWaiting());
            rssPeak = qMax(rssPeak, residentBytes());
        });
        QElapsedTimer flooding;
        Scenario* s = b.scenario();
        peer.join(s,
                  [&] {
                      rss0 = residentBytes();
                      probe.start();
                      flooding.start();
                      feed();
                  })
            .step(
                "three seconds of flood", [&] { return flooding.isValid() && flooding.elapsed() >= 3000; },
                [&] {
                    probe.stop();
                    f->URLLabel1->Click();
                });
        QString failure = b.connectAndRun(*s);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        const qint64 inFlight = offered - peer.socket.bytesToWrite();
        // What left the setup program: the line's share, the wizard's bounded queue and
        // what the kernel's socket buffers hold, nowhere near the 50 MiB offered.
        QVERIFY2(inFlight < 16 * 1024 * 1024, qPrintable(QString::number(inFlight)));
        QVERIFY(b.panel.deviceData().size() > 10000); // the line kept moving meanwhile
        const QByteArray got = b.panel.deviceData();
        bool inOrder = true;
        for (qsizetype i = 0; i + 4 < got.size() && inOrder; ++i) // "+rb\r" may end it
            inOrder = got[i] == chunk[i % chunk.size()];
        QVERIFY(inOrder);
        QVERIFY2(queuePeak <= TMainKestromForm::SetupQueueLimit, qPrintable(QString::number(queuePeak)));
        if (!UnderAddressSanitizer)
            QVERIFY2(rssPeak - rss0 < 24 * 1024 * 1024,
                     qPrintable(QStringLiteral("RSS grew by %1 MiB").arg((rssPeak - rss0) >> 20)));
    }
};

QTEST_MAIN(TestCableConnection)
#include "tst_cableconnection.moc"
