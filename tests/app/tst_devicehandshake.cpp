// The device dialogue: the answer-wait rule on its own, and DetectDevice against the panel
// simulator on a real pseudo-terminal.
#include "PanelSim.h"
#include "PtyFixture.h"
#include "TestForms.h"
#include "app/DeviceHandshake.h"
#include "app/MainFormUnit.h"
#include "channels/ModemResult.h"
#include "log/LOGUnit.h"
#include "log/TimeFuncs.h"

#include <QElapsedTimer>
#include <QtTest>
#include <poll.h>

using Config = PanelSim::Config;
Q_DECLARE_METATYPE(PanelSim::Config)

class TestDeviceHandshake : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() { SetTickClockForTest(0, 1); }

    void answerStep_data() {
        QTest::addColumn<QByteArray>("collected");
        QTest::addColumn<QByteArray>("echo");
        QTest::addColumn<QByteArray>("terminator");
        QTest::addColumn<bool>("done");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("echo then answer")
            << QByteArray("+VER_INFO=?\r\n+VER_INFO=1,\"A.1\"\r\nOK\r\n") << QByteArray("+VER_INFO=?\r\n")
            << QByteArray("OK\r\n") << true << QByteArray("+VER_INFO=1,\"A.1\"\r\nOK\r\n");
        QTest::newRow("terminator split: first half")
            << QByteArray("X\r\nOK") << QByteArray("+v\r") << QByteArray("OK\r\n") << false
            << QByteArray("X\r\nOK");
        QTest::newRow("terminator anywhere") << QByteArray("OK\r\nmore") << QByteArray()
                                             << QByteArray("OK\r\n") << true << QByteArray("OK\r\nmore");
        QTest::newRow("old style: OK CR LF satisfies OK CR")
            << QByteArray("\r\nA.1\r\nOK\r\n") << QByteArray("+v\r") << QByteArray("OK\r") << true
            << QByteArray("\r\nA.1\r\nOK\r\n");
        QTest::newRow("echo removed once only") << QByteArray("+v\r+v\r") << QByteArray("+v\r")
                                                << QByteArray("OK\r") << false << QByteArray("+v\r");
        QTest::newRow("echo is our OK-bearing command")
            << QByteArray("+CHECK_MASTER_CODE=1,\"OK\"\r\n") << QByteArray("+CHECK_MASTER_CODE=1,\"OK\"\r\n")
            << QByteArray("OK\r\n") << false << QByteArray();
        QTest::newRow("case matters")
            << QByteArray("ok\r\n") << QByteArray() << QByteArray("OK\r\n") << false << QByteArray("ok\r\n");
    }
    void answerStep() {
        QFETCH(QByteArray, collected);
        QFETCH(QByteArray, echo);
        QFETCH(QByteArray, terminator);
        QFETCH(bool, done);
        QFETCH(QByteArray, after);
        QCOMPARE(DeviceHandshake::AnswerStep(collected, echo, terminator), done);
        QCOMPARE(collected, after);
    }

    // The one table of result words: the relay's hang-up check and the dialer's code.
    void hangupWords_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("hangup");
        QTest::addColumn<quint32>("code");
        QTest::newRow("NO CARRIER") << QByteArray("\r\nNO CARRIER\r\n") << true << quint32(rrNoCarrier);
        QTest::newRow("lower case") << QByteArray("no carrier") << true << quint32(rrNoCarrier);
        QTest::newRow("BUSY") << QByteArray("BUSY") << true << quint32(rrBusy);
        QTest::newRow("NO DIALTONE") << QByteArray("xNO DIALTONEx") << true << quint32(rrNoDialtone);
        QTest::newRow("NO ANSWER") << QByteArray("No Answer") << true << quint32(rrNoAnswer);
        QTest::newRow("data") << QByteArray("\x01\x02NO CARRIE") << false << quint32(rrConnected);
        QTest::newRow("CONNECT") << QByteArray("CONNECT 9600") << false << quint32(rrConnected);
        QTest::newRow("OK") << QByteArray("\r\nOK\r\n") << false << quint32(rrConnected);
        QTest::newRow("ERROR") << QByteArray("\r\nERROR\r\n") << false << quint32(rrConnected);
        QTest::newRow("empty") << QByteArray() << false << quint32(rrConnected);
        // Two words: the table's order decides, not their place in the text.
        QTest::newRow("NO CARRIER before BUSY")
            << QByteArray("NO CARRIER\r\nBUSY") << true << quint32(rrBusy);
        QTest::newRow("NO DIALTONE before NO CARRIER")
            << QByteArray("NO DIALTONE\r\nNO CARRIER") << true << quint32(rrNoCarrier);
        QTest::newRow("NO ANSWER before BUSY") << QByteArray("NO ANSWER\r\nBUSY") << true << quint32(rrBusy);
        QTest::newRow("NO ANSWER before NO CARRIER")
            << QByteArray("no answer\r\nno carrier") << true << quint32(rrNoCarrier);
        QTest::newRow("NO ANSWER before NO DIALTONE")
            << QByteArray("NO ANSWER NO DIALTONE") << true << quint32(rrNoDialtone);
    }
    void hangupWords() {
        QFETCH(QByteArray, text);
        QFETCH(bool, hangup);
        QFETCH(quint32, code);
        QCOMPARE(DeviceHandshake::ContainsHangupWord(text), hangup);
        QCOMPARE(ModemHangupResult(text), code);
    }

    void stopPanelPauses() {
        QCOMPARE(DeviceHandshake::StopPanelPause(5000, 1000), 1000);
        QCOMPARE(DeviceHandshake::StopPanelPause(5000, 2000), 2000);
        QCOMPARE(DeviceHandshake::StopPanelPause(60000, 1000), 5000);
    }

    void againstPanel_data() {
        QTest::addColumn<Config>("config");
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("masterCode"); // empty: box not ticked
        QTest::addColumn<bool>("result");
        QTest::addColumn<QList<QByteArray>>("commands");
        QTest::addColumn<QByteArray>("verInfo");

        const QByteArray ver = Config{}.versionAnswer + "OK\r\n";
        const QList<QByteArray> verOnly{"+VER_INFO=?"};
        const QList<QByteArray> codeVer{"+CHECK_MASTER_CODE=1,\"1234\"", "+VER_INFO=?"};
        Config plain;
        QTest::newRow("standard, no code") << plain << QByteArray() << QString() << true << verOnly << ver;
        QTest::newRow("standard with code") << plain << QByteArray() << "1234" << true << codeVer << ver;
        Config echo;
        echo.echoCommands = true;
        QTest::newRow("echoing panel: echo removed")
            << echo << QByteArray() << "1234" << true << codeVer << ver;
        Config split;
        split.splitParts = 4;
        split.splitPauseMs = 60;
        QTest::newRow("answer in pieces") << split << QByteArray() << "1234" << true << codeVer << ver;
        Config late;
        late.delayMs = 400;
        QTest::newRow("late answer") << late << QByteArray() << QString() << true << verOnly << ver;
        QTest::newRow("code refused: no version request")
            << plain << QByteArray() << "9999" << false << QList<QByteArray>{"+CHECK_MASTER_CODE=1,\"9999\""}
            << QByteArray();
        Config silent;
        silent.silent = true;
        QTest::newRow("silent, no code: true with empty answer")
            << silent << QByteArray() << QString() << true << verOnly << QByteArray();
        QTest::newRow("stop panel") << plain << QByteArray("SP=1\r\n") << QString() << true
                                    << QList<QByteArray>{"+K5_STOP_PANEL=1,1", "+K5_STOP_PANEL=1,1",
                                                         "+VER_INFO=?"}
                                    << ver;
        QTest::newRow("stop panel even when the code is refused")
            << plain << QByteArray("SP=1\r\n") << "9999" << false
            << QList<QByteArray>{"+CHECK_MASTER_CODE=1,\"9999\"", "+K5_STOP_PANEL=1,1", "+K5_STOP_PANEL=1,1"}
            << QByteArray();
        Config old;
        old.dialect = PanelSim::Dialect::OldStyle;
        QTest::newRow("old style with code") << old << QByteArray("OLDCONNECT=1\r\n") << "1234" << true
                                             << QList<QByteArray>{"+id=1234", "+v"} << old.oldVersionAnswer;
        Config oldCrLf = old;
        oldCrLf.oldVersionAnswer = "\r\nSIMPANEL.01.00\r\nOK\r\n";
        QTest::newRow("old style answer ending OK CR LF")
            << oldCrLf << QByteArray("OLDCONNECT=1\r\n") << QString() << true << QList<QByteArray>{"+v"}
            << oldCrLf.oldVersionAnswer;
        Config oldSilent = old;
        oldSilent.silent = true;
        QTest::newRow("old style silent: false") << oldSilent << QByteArray("OLDCONNECT=1\r\n") << QString()
                                                 << false << QList<QByteArray>{"+v"} << QByteArray();
    }
    void againstPanel() {
        QFETCH(Config, config);
        QFETCH(QByteArray, ini);
        QFETCH(QString, masterCode);
        QFETCH(bool, result);
        QFETCH(QList<QByteArray>, commands);
        QFETCH(QByteArray, verInfo);

        FormsFixture fx;
        fx.WriteSetupIni(ini);
        PanelSim panel(config);
        QVERIFY(panel.startPty());
        QList<quint32> commandTicks;
        connect(&panel, &PanelSim::commandReceived, &panel, [&] { commandTicks << GetTickCount(); });
        fx.Create();
        LOGForm->show();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
        f->PortsListComboBox->addItem(panel.portName());
        f->PortsListComboBox->setCurrentIndex(0);
        if (!masterCode.isEmpty()) {
            f->MKChB->setChecked(true);
            f->MasterKeyEdit->setEnabled(true);
            f->MasterKeyEdit->setText(masterCode);
        }
        QVERIFY(f->OpenCOM() != -1);
        // Long limits and pauses run five times faster; the rules are in ticks.
        SetTickClockForTest(1000, 5);
        bool clickHandlerDuring = true;
        QTimer probe;
        connect(&probe, &QTimer::timeout, f,
                [&] { clickHandlerDuring = clickHandlerDuring && !f->URLLabel1->OnClick; });
        probe.start(5);
        const bool ok = f->DetectDevice();
        probe.stop();
        QCOMPARE(ok, result);
        QCOMPARE(panel.commands(), commands);
        QCOMPARE(f->FVerInfo, verInfo);
        QVERIFY2(clickHandlerDuring, "the link's click must do nothing while the dialogue runs");
        QVERIFY(f->URLLabel1->OnClick); // and is back afterwards
        QCOMPARE(f->FVerInfoWait, 5000);
        if (commands.count("+K5_STOP_PANEL=1,1") == 2) {
            // 1000 ms after the first stop command, 2000 ms after the second (the panel
            // notices a command a little after it was written, so allow some slack).
            const qsizetype first = commands.indexOf("+K5_STOP_PANEL=1,1");
            QVERIFY(commandTicks[first + 1] - commandTicks[first] >= 900);
            if (first + 2 < commandTicks.size())
                QVERIFY(commandTicks[first + 2] - commandTicks[first + 1] >= 1800);
        }
        if (!verInfo.isEmpty()) {
            const QStringList lines = LogLines();
            QVERIFY(std::any_of(lines.begin(), lines.end(),
                                [](const QString& l) { return LogBody(l).startsWith("COM->APP "); }));
        }
        f->CloseCOM();
    }

    // A command the port never takes (the device stopped reading, the line is held) is a
    // write error as a gone port's is: it used to pass unnoticed and the dialogue went on
    // as if the device had it.
    void commandThePortNeverTakes() {
        FormsFixture fx;
        PtyFixture device; // nobody reads what the program writes
        QVERIFY(device.isValid());
        fx.Create();
        LOGForm->show();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
        f->PortsListComboBox->addItem(device.portName());
        QVERIFY(f->OpenCOM() != -1);
        // Filled until it stays full: the terminal moves what it holds on to the far side's
        // buffer a little later, which makes room once more.
        const QByteArray filler(1 << 20, 'x');
        for (int round = 0; round < 100; ++round) {
            while (WriteCOMData(f->FCOMHandle, filler.constData(), int(filler.size())) > 0) {
            }
            pollfd room{f->FCOMHandle, POLLOUT, 0};
            if (::poll(&room, 1, 200) == 0)
                break;
        }
        SetTickClockForTest(1000, 20);
        QVERIFY(f->DetectDevice()); // no master code: the version request alone, unanswered
        QVERIFY(f->FVerInfo.isEmpty());
        const QStringList lines = LogLines();
        QCOMPARE(std::count_if(lines.begin(), lines.end(),
                               [](const QString& l) { return LogBody(l) == " Ошибка записи в COM порт"; }),
                 1);
        QCOMPARE(f->Label7->text(), QStringLiteral("Прибор не доступен"));
        QCOMPARE(f->Label7->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(f->FNeedCOMReconnect);
        QCOMPARE(f->FReadSocket, 0);
        f->CloseCOM();
    }

    void limitHoldsAcrossTheTickWrap() {
        // The tick passes 0xFFFFFFFF during the wait: the limit is still 5000 ticks,
        // neither over at once nor never.
        FormsFixture fx;
        Config silent;
        silent.silent = true;
        PanelSim panel(silent);
        QVERIFY(panel.startPty());
        fx.Create();
        TMainKestromForm* f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
        f->PortsListComboBox->addItem(panel.portName());
        f->MKChB->setChecked(true);
        f->MasterKeyEdit->setText("1234");
        QVERIFY(f->OpenCOM() != -1);
        SetTickClockForTest(0xFFFFFFFFu - 1500, 10);
        const quint32 startTick = GetTickCount();
        QElapsedTimer real;
        real.start();
        QVERIFY(!f->DetectDevice());
        const quint32 ticks = GetTickCount() - startTick;
        QVERIFY2(ticks >= 5000 && ticks < 7000, qPrintable(QString::number(ticks)));
        QVERIFY(GetTickCount() < startTick); // it did wrap
        QVERIFY(real.elapsed() < 3000);
        f->CloseCOM();
    }
};

QTEST_MAIN(TestDeviceHandshake)
#include "tst_devicehandshake.moc"
