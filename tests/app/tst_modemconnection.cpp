// A GSM modem connection end to end: the real main window (offscreen) and dialer thread,
// the panel simulator's modem as a child process on a pseudo-terminal, the local server on
// 127.0.0.1 and the sample setup program as a real child process. The tick is scaled, so
// the dialogue's long pauses and limits pass quickly.
#include "Scenario.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "channels/RingThread.h"
#include "log/LOGUnit.h"
#include "log/TimeFuncs.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>
#include <signal.h>

namespace {
// Log lines after the stamp and its colon: GUI lines start with a space more than the
// dialer's (" Подключен" vs "<< ATZ" and " Порт успешно открыт").
QStringList bodies() {
    QStringList out;
    for (const QString& l : LogLines())
        out << l.mid(24);
    return out;
}

const QByteArray Ini = "OLDCONNECT=0\r\nSP=1\r\nRB=0\r\nSIMPANEL=setup-sim\r\n";
const QString Phone = QStringLiteral("+79001234567");
} // namespace

struct ModemBench {
    FormsFixture fx;
    QTemporaryDir dir;
    QProcess sim;
    QByteArray simLog; // the simulator's stderr: "command: ATZ", "escape: +++", ...
    QString port;
    QString record;

    explicit ModemBench(const QStringList& simArgs, const QByteArray& setupMode = "sink",
                        const QByteArray& script = {}) {
        fx.WriteSetupIni(Ini);
        QFile::copy(KESTROM_SETUP_SIM, fx.appDir() + "/setup-sim");
        port = dir.filePath("ttyMDM0");
        QObject::connect(&sim, &QProcess::readyReadStandardError,
                         [this] { simLog += sim.readAllStandardError(); });
        sim.start(KESTROM_PANEL_SIM,
                  QStringList{"--modem", "--pty", port, "--guard", "10", "--delay", "0"} + simArgs);
        if (!sim.waitForStarted() || !sim.waitForReadyRead(5000))
            qWarning("panel-sim did not start");
        const QString name = port;
        SetCOMPortEnumeratorForTest([name] { return QStringList{name}; });
        fx.Create();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chModemV32);
        f->ConnectTypeComboBoxChange();
        f->PhoneNumber->setEditText(Phone);
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        record = PrepareSetupSim(dir.path(), TCPServerSettingsForm->PortEdit->text(), setupMode, script);
    }
    ~ModemBench() {
        fx.Destroy();
        sim.terminate();
        sim.waitForFinished(3000);
        SetTickClockForTest(0, 1);
    }
    QStringList records() const {
        QFile f(record);
        if (!f.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // The simulator's log lines of one kind, in order ("command: " gives the commands).
    QStringList simLines(const QString& prefix) const {
        QStringList out;
        for (const QString& l : QString::fromUtf8(simLog).split('\n'))
            if (l.startsWith(prefix))
                out << l.mid(prefix.size());
        return out;
    }
    bool red() const {
        return MainKestromForm->Label7->palette().color(QPalette::WindowText) == QColor(255, 0, 0);
    }
};

class TestModemConnection : public QObject {
    Q_OBJECT
  private slots:
    // Dial, progress, connected, relay both ways, the far end hangs up, redial reusing
    // the running setup program, disconnect with the hang-up.
    void wholeSession() {
        const QByteArray script =
            "send " + AllByteValues().toHex(' ') + "\nexpect " + AllByteValues().toHex(' ') + "\n";
        ModemBench b({}, "script", script);
        LOGForm->show();
        TMainKestromForm* f = MainKestromForm;
        SetTickClockForTest(0, 20);
        QString setupPid;
        const auto status = [f](const char* text) { return f->Label7->text() == QString::fromUtf8(text); };

        auto* s = new Scenario([f] { f->FConnected = false; }, &b.sim);
        s->step(
             "initialising", [&] { return status("Инициализация модема"); },
             [&] {
                 QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отмена подключения"));
                 QVERIFY(f->URLLabel1->isEnabled());
                 QVERIFY(!f->ConnectTypeComboBox->isEnabled() && !f->PortsListComboBox->isEnabled() &&
                         !f->PhoneNumber->isEnabled() && !f->SpeedButton1->isEnabled());
             })
            .step("registering", [&] { return status("Регистрация в сети"); })
            .step("dialling", [&] { return status("Набор номера"); })
            .step(
                "connected, setup program in",
                [&] { return f->URLLabel1->Tag == lsConnected && f->FSetupConnected; },
                [&] {
                    QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отключить"));
                    QCOMPARE(f->Label7->text(), QStringLiteral("Подключен"));
                    QVERIFY(f->FModemConnect);
                    QVERIFY(f->FRing && f->FRing->HandlerRunning());
                })
            .step(
                "every byte value to the panel and back", [&] { return b.records().contains("script pass"); },
                [&] {
                    setupPid = b.records().first().section("pid=", 1);
                    ::kill(b.sim.processId(), SIGUSR2); // the far end hangs up
                })
            .step(
                "redial offered", [&] { return f->URLLabel1->Tag == lsRedial; },
                [&] {
                    QCOMPARE(f->URLLabel1->text(), QStringLiteral("Переподключить"));
                    QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
                    QVERIFY(!b.red());
                    QCOMPARE(f->FCOMHandle, -1);
                    QVERIFY(f->FSetupIsStarted);
                    QCOMPARE(::kill(setupPid.toInt(), 0), 0); // kept running for the redial
                    QVERIFY(!f->ConnectTypeComboBox->isEnabled());
                })
            .step(
                "the relay of the lost call has ended", [&] { return !f->FRing->HandlerRunning(); },
                [&] { f->URLLabel1->Click(); })
            .step(
                "connected again",
                [&] {
                    return f->URLLabel1->Tag == lsConnected && f->FSetupConnected &&
                           b.records().count("connected") == 2;
                },
                [&] {
                    QCOMPARE(b.simLines("command: ATD"), (QStringList{Phone, Phone}));
                    // The same setup program: started once, connected twice.
                    QCOMPARE(b.records().filter("cwd=").size(), 1);
                    f->URLLabel1->Click(); // disconnect
                })
            .step("disconnected", [&] { return f->URLLabel1->Tag == lsIdle; });
        s->start();
        f->URLLabel1->Click();
        QTRY_VERIFY_WITH_TIMEOUT(s->finished() || !s->failure().isEmpty(), 30000);
        QVERIFY2(s->failure().isEmpty(), qPrintable(s->failure() + "\n" + bodies().join('\n')));
        QVERIFY(!QTest::currentTestFailed());

        // The hang-up: "+++" left the call for the modem's commands, then "ATH".
        QTRY_COMPARE(b.simLines("escape: ").size(), 1);
        QTRY_COMPARE(b.simLines("command: ").last(), QStringLiteral("ATH"));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(!f->FModemConnect && !f->FSetupIsStarted);
        QVERIFY(f->ConnectTypeComboBox->isEnabled() && f->PhoneNumber->isEnabled());
        QTRY_VERIFY(::kill(setupPid.toInt(), 0) != 0);

        const QStringList log = bodies();
        const QStringList inOrder = {
            " Порт успешно открыт",
            "<< ATZ",
            "<< AT",
            "<< AT+CBST=7,0,1",
            "<< AT+CREG?",
            "<< ATD" + Phone,
            ">> CONNECT 9600",
            " COM->APP +VER_INFO=1,\"SIMPANEL.01.00\",\"2024\"",
            "  Завершение работы по ошибке модема",
            "  Последний полученный пакет:",
            "  Установили \"Нет подключения\", процедура COMRead",
            "<< ATD" + Phone,
            ">> CONNECT 9600",
            "  Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном приборе "
            "(разрыв подключения)"};
        qsizetype at = 0;
        for (const QString& e : inOrder) {
            at = log.indexOf(e, at);
            QVERIFY2(at >= 0, qPrintable("missing or out of order: " + e + "\n" + log.join('\n')));
        }
        // A modem channel never sends the stop-panel command, whatever setup.ini says.
        QVERIFY(b.simLines("command: +K5_STOP_PANEL").isEmpty());
        QCOMPARE(f->FVerInfoWait, 60000);
    }

    // A port loss noted by an earlier attempt that gave up (its handshake write failed after
    // the modem hung up) ended the next call in its first relay pass.
    void staleLossEndsNoLaterCall() {
        ModemBench b({});
        TMainKestromForm* f = MainKestromForm;
        SetTickClockForTest(0, 20);
        f->FNeedCOMReconnect = true; // as such an attempt leaves it
        // The relay runs nested in the click: the scenario acts from inside it.
        auto* s = new Scenario([f] { f->FConnected = false; }, &b.sim);
        s->step(
             "connected, setup program in",
             [&] { return f->URLLabel1->Tag == lsConnected && f->FSetupConnected; },
             [&] {
                 QCOMPARE(f->Label7->text(), QStringLiteral("Подключен"));
                 f->URLLabel1->Click(); // disconnect
             })
            .step("disconnected", [&] { return f->URLLabel1->Tag == lsIdle; });
        s->start();
        f->URLLabel1->Click();
        QTRY_VERIFY_WITH_TIMEOUT(s->finished() || !s->failure().isEmpty(), 30000);
        QVERIFY2(s->failure().isEmpty(), qPrintable(s->failure() + "\n" + bodies().join('\n')));
        QVERIFY2(!bodies().contains(QStringLiteral("  Завершение работы по потере порта.")),
                 qPrintable(bodies().join('\n')));
    }

    // A dial that fails: its text in red, back to idle, the dialer's lines in the log even
    // though the log window is hidden.
    void dialFails_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<bool>("portMissing");
        QTest::addColumn<QString>("text");
        QTest::newRow("port busy") << QStringList{} << true << "Не могу открыть COM-порт";
        QTest::newRow("CBST refused")
            << QStringList{"--cbst-error", "--quiet-reset"} << false << "Модем не отвечает";
        QTest::newRow("no network") << QStringList{"--creg", "none"} << false << "Нет регистрации в сети GSM";
        QTest::newRow("busy") << QStringList{"--dial", "busy"} << false << "Номер занят";
        QTest::newRow("no carrier") << QStringList{"--dial", "no-carrier"} << false << "Не могу дозвониться";
        QTest::newRow("no dialtone") << QStringList{"--dial", "no-dialtone"} << false
                                     << "Нет сигнала в линии";
        QTest::newRow("no answer") << QStringList{"--dial", "silence"} << false << "Номер не отвечает";
    }
    void dialFails() {
        QFETCH(QStringList, simArgs);
        QFETCH(bool, portMissing);
        QFETCH(QString, text);
        ModemBench b(simArgs);
        TMainKestromForm* f = MainKestromForm;
        COMHandle busy = INVALID_COM_HANDLE; // another program has the port
        if (portMissing)
            QVERIFY(OpenCOMPort(b.port, 19200, busy));
        SetTickClockForTest(0, 100);
        f->URLLabel1->Click();
        QCOMPARE(f->URLLabel1->Tag, int(lsConnecting));
        QTRY_COMPARE_WITH_TIMEOUT(f->URLLabel1->Tag, int(lsIdle), 10000);
        QCOMPARE(f->Label7->text(), text);
        QVERIFY(b.red());
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QVERIFY(f->ConnectTypeComboBox->isEnabled() && f->PortsListComboBox->isEnabled() &&
                f->PhoneNumber->isEnabled() && f->SpeedButton1->isEnabled());
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(b.fx.boxes.boxes.isEmpty());
        QVERIFY(!LOGForm->isVisible());
        const QStringList log = bodies();
        if (portMissing) {
            QCOMPARE(log, QStringList{" Ошибка открытия порта"});
            CloseCOMPort(busy);
            return;
        }
        QVERIFY2(log.contains(" Порт успешно открыт") && log.contains("<< AT"), qPrintable(log.join('\n')));
        // A failed dial sends "ATH"; the port can be opened again: the wizard closed it.
        if (simArgs.first() == "--dial")
            QTRY_COMPARE(b.simLines("command: ").last(), QStringLiteral("ATH"));
        COMHandle again = INVALID_COM_HANDLE;
        QVERIFY(OpenCOMPort(b.port, 19200, again));
        CloseCOMPort(again);
    }

    // The cancel click: while dialling the call is hung up and the status is neutral; in
    // the "AT" wait the dialer ends with its own failure and that text shows in red.
    void cancel_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QString>("waitFor"); // the dialer's last log line before the click
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("red");
        QTest::newRow("while dialling")
            << QStringList{"--dial", "silence"} << QString("<< ATD" + Phone) << "Нет подключения" << false;
        QTest::newRow("in the AT wait") << QStringList{"--silent"} << "<< AT"
                                        << "Модем не отвечает" << true;
    }
    void cancel() {
        QFETCH(QStringList, simArgs);
        QFETCH(QString, waitFor);
        QFETCH(QString, text);
        QFETCH(bool, red);
        ModemBench b(simArgs);
        TMainKestromForm* f = MainKestromForm;
        SetTickClockForTest(0, 20);
        f->URLLabel1->Click();
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(waitFor), 10000);
        f->URLLabel1->Click();
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->Label7->text(), text);
        QCOMPARE(b.red(), red);
        QVERIFY(f->FRing == nullptr);
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(f->ConnectTypeComboBox->isEnabled() && f->PhoneNumber->isEnabled());
        if (!red) { // the dial is hung up, and that is logged
            QCOMPARE(bodies().last(), QStringLiteral("<< ATH"));
            QTRY_COMPARE(b.simLines("command: ").last(), QStringLiteral("ATH"));
        }
        COMHandle again = INVALID_COM_HANDLE;
        QVERIFY(OpenCOMPort(b.port, 19200, again));
        CloseCOMPort(again);
    }

    // A cancel click while the connected call's connection is being set up inside the
    // dialer's handler (here from the box that no setup program was found): the call is
    // hung up and the connection ends without waiting for the blocked thread.
    void cancelInsideTheHandler() {
        ModemBench b({});
        b.fx.WriteSetupIni("OLDCONNECT=0\r\nSP=0\r\nRB=0\r\n"); // no setup program for SIMPANEL
        TMainKestromForm* f = MainKestromForm;
        f->ReadSetupFlags();
        SetTickClockForTest(0, 20);
        QStringList boxes;
        bool wasRunning = false;
        Platform::SetMessageBoxHandler([&](const Platform::BoxRecord& r) {
            boxes << r.text;
            wasRunning = f->FRing && f->FRing->HandlerRunning();
            QCOMPARE(f->URLLabel1->Tag, int(lsConnecting));
            f->URLLabel1->Click(); // cancel, while the box is open
        });
        f->URLLabel1->Click();
        QTRY_VERIFY_WITH_TIMEOUT(!boxes.isEmpty(), 10000);
        QVERIFY(wasRunning);
        QTRY_VERIFY(f->FRing == nullptr || !f->FRing->HandlerRunning());
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QCOMPARE(f->FCOMHandle, -1);
        QVERIFY(!f->FModemConnect);
        QVERIFY(f->FRing == nullptr);
        QVERIFY(!f->ServerSocket->isListening());
        QTRY_COMPARE(b.simLines("escape: ").size(), 1);
        QTRY_COMPARE(b.simLines("command: ").last(), QStringLiteral("ATH"));
        QCOMPARE(boxes.size(), 1);
    }

    // Closing the main window during a dial or a connection hangs the call up, ends the
    // thread and tells the program to end.
    void closeHangsUp_data() {
        QTest::addColumn<bool>("connected");
        QTest::newRow("during the dial") << false;
        QTest::newRow("during the connection") << true;
    }
    void closeHangsUp() {
        QFETCH(bool, connected);
        ModemBench b(connected ? QStringList{} : QStringList{"--dial", "silence"});
        TMainKestromForm* f = MainKestromForm;
        QSignalSpy closed(f, &TMainKestromForm::Closed);
        SetTickClockForTest(0, 20);
        QElapsedTimer t;
        auto* s = new Scenario([f] { f->FConnected = false; }, &b.sim);
        if (connected)
            s->step(
                "connected", [&] { return f->URLLabel1->Tag == lsConnected; },
                [&] {
                    t.start();
                    f->close();
                });
        else
            s->step(
                "dialling", [&] { return bodies().contains("<< ATD" + Phone); },
                [&] {
                    t.start();
                    f->close();
                });
        s->start();
        f->URLLabel1->Click();
        QTRY_VERIFY_WITH_TIMEOUT(s->finished() || !s->failure().isEmpty(), 15000);
        QVERIFY2(s->failure().isEmpty(), qPrintable(s->failure()));
        QTRY_VERIFY(!f->FRing || f->FRing->isFinished());
        QVERIFY(t.elapsed() < 3000);
        QCOMPARE(closed.count(), 1);
        QCOMPARE(f->FCOMHandle, -1);
        QTRY_COMPARE(b.simLines("command: ").last(), QStringLiteral("ATH"));
        QCOMPARE(b.simLines("escape: ").size(), connected ? 1 : 0);
    }
};

QTEST_MAIN(TestModemConnection)
#include "tst_modemconnection.moc"
