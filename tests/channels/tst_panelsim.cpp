// The panel simulator, driven through the program's own serial functions.
#include "PanelSim.h"
#include "channels/COMUtils.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <stdlib.h>

Q_DECLARE_METATYPE(PanelSim::Config)

namespace {

using Config = PanelSim::Config;

// The program's end of the line: a port opened with COMUtils. Waits run in the event
// loop, so the in-process simulator answers meanwhile.
class Line {
  public:
    explicit Line(const QString& portName) { OpenCOMPort(portName, 19200, handle); }
    ~Line() { CloseCOMPort(handle); }
    bool isOpen() const { return handle != INVALID_COM_HANDLE; }
    bool write(const QByteArray& bytes) { return WriteCOMString(handle, bytes) == bytes.size(); }

    // Collects bytes until needle is among them or the time is up; returns all
    // collected so far and starts afresh.
    QByteArray readUntil(const QByteArray& needle, int timeoutMs = 2000) {
        const QDeadlineTimer deadline(timeoutMs);
        QSocketNotifier notifier(handle, QSocketNotifier::Read);
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        QByteArray buffer(COM_BUFFER_SIZE, '\0');
        while (!m_got.contains(needle) && !deadline.hasExpired()) {
            const int n = ReadCOMData(handle, buffer.data());
            if (n < 0)
                break;
            if (n > 0) {
                m_got.append(buffer.constData(), n);
                ++pieces;
                continue;
            }
            timer.start(static_cast<int>(deadline.remainingTime()));
            loop.exec();
        }
        return std::exchange(m_got, {});
    }

    COMHandle handle = INVALID_COM_HANDLE;
    int pieces = 0; // reads that delivered bytes

  private:
    QByteArray m_got;
};

QByteArray allByteValues() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    return bytes;
}

const QByteArray VersionRequest = "+VER_INFO=?\r\n";
const QByteArray VersionAnswer = "+VER_INFO=1,\"SIMPANEL.01.00\",\"2024\"\r\nOK\r\n";

} // namespace

class TestPanelSim : public QObject {
    Q_OBJECT

  private slots:
    void dialogue_data() {
        QTest::addColumn<Config>("config");
        QTest::addColumn<QList<QByteArray>>("sent"); // separate writes of the program
        QTest::addColumn<QByteArray>("answer");

        const Config standard;
        Config old;
        old.dialect = PanelSim::Dialect::OldStyle;
        Config echo;
        echo.echoCommands = true;
        Config oldEcho = old;
        oldEcho.echoCommands = true;
        Config otherCode;
        otherCode.masterCode = "0042";
        Config otherVersion;
        otherVersion.versionAnswer = "+VER_INFO=1,\"ABC.02.07\",\"x\"\r\n";

        using L = QList<QByteArray>;
        QTest::newRow("version") << standard << L{VersionRequest} << VersionAnswer;
        QTest::newRow("right code") << standard << L{"+CHECK_MASTER_CODE=1,\"1234\"\r\n"}
                                    << QByteArray("OK\r\n");
        QTest::newRow("wrong code") << standard << L{"+CHECK_MASTER_CODE=1,\"1235\"\r\n"}
                                    << QByteArray("ERROR\r\n");
        QTest::newRow("configured code")
            << otherCode << L{"+CHECK_MASTER_CODE=1,\"0042\"\r\n"} << QByteArray("OK\r\n");
        QTest::newRow("empty code") << standard << L{"+CHECK_MASTER_CODE=1,\"\"\r\n"}
                                    << QByteArray("ERROR\r\n");
        QTest::newRow("stop panel") << standard << L{"+K5_STOP_PANEL=1,1\r\n"} << QByteArray("OK\r\n");
        QTest::newRow("unknown command") << standard << L{"+FOO=1\r\n"} << QByteArray("ERROR\r\n");
        QTest::newRow("configured version")
            << otherVersion << L{VersionRequest} << QByteArray("+VER_INFO=1,\"ABC.02.07\",\"x\"\r\nOK\r\n");
        QTest::newRow("command in pieces") << standard << L{"+VER_", "INFO=?\r", "\n"} << VersionAnswer;
        QTest::newRow("echo first") << echo << L{VersionRequest} << VersionRequest + VersionAnswer;
        QTest::newRow("old code") << old << L{"+id=1234\r"} << QByteArray("OK\r");
        QTest::newRow("old wrong code") << old << L{"+id=9\r"} << QByteArray("ERROR\r");
        QTest::newRow("old version") << old << L{"+v\r"} << QByteArray("\r\nSIMPANEL.01.00\r\nOK\r");
        QTest::newRow("old echo") << oldEcho << L{"+v\r"} << QByteArray("+v\r\r\nSIMPANEL.01.00\r\nOK\r");
        QTest::newRow("old device ignores standard") << old << L{VersionRequest} << QByteArray("ERROR\r");
    }
    void dialogue() {
        QFETCH(Config, config);
        QFETCH(QList<QByteArray>, sent);
        QFETCH(QByteArray, answer);
        PanelSim sim(config);
        QVERIFY2(sim.startPty(), qPrintable(sim.errorString()));
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QSignalSpy received(&sim, &PanelSim::dataReceived);
        for (const QByteArray& piece : sent) {
            QVERIFY(line.write(piece));
            QVERIFY(received.wait(2000)); // each piece reaches the panel on its own
        }
        QCOMPARE(line.readUntil(answer), answer);
        QCOMPARE(sim.received(), sent.join());
    }

    // The standard dialogue as the wizard holds it, then the device behind it.
    void wholeStandardDialogue() {
        PanelSim sim;
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write("+CHECK_MASTER_CODE=1,\"1234\"\r\n"));
        QCOMPARE(line.readUntil("OK\r\n"), QByteArray("OK\r\n"));
        QVERIFY(sim.masterCodeAccepted());
        QVERIFY(line.write("+K5_STOP_PANEL=1,1\r\n"));
        QVERIFY(line.write("+K5_STOP_PANEL=1,1\r\n"));
        QCOMPARE(line.readUntil("OK\r\nOK\r\n"), QByteArray("OK\r\nOK\r\n"));
        QVERIFY(sim.panelStopped());
        QVERIFY(!sim.inDeviceMode());
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
        QVERIFY(sim.inDeviceMode());
        QCOMPARE(sim.commands(), (QList<QByteArray>{"+CHECK_MASTER_CODE=1,\"1234\"", "+K5_STOP_PANEL=1,1",
                                                    "+K5_STOP_PANEL=1,1", "+VER_INFO=?"}));

        // Now a device: every byte value comes back unchanged.
        const QByteArray bytes = allByteValues() + allByteValues();
        QVERIFY(line.write(bytes));
        QCOMPARE(line.readUntil(bytes).toHex(), bytes.toHex());
        QCOMPARE(sim.deviceData().toHex(), bytes.toHex());
        QCOMPARE(sim.commands().size(), 4); // device data is no command
    }

    // Silence is checked by what comes next: the version answer arrives without an
    // ERROR before it.
    void wrongCodeSilence() {
        Config config;
        config.silentOnWrongCode = true;
        PanelSim sim(config);
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write("+CHECK_MASTER_CODE=1,\"0000\"\r\n"));
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil("OK\r\n"), VersionAnswer);
        QVERIFY(!sim.masterCodeAccepted());
    }

    void silentPanelSendsNothing() {
        Config config;
        config.silent = true;
        config.echoCommands = true;
        PanelSim sim(config);
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QSignalSpy commands(&sim, &PanelSim::commandReceived);
        QVERIFY(line.write(VersionRequest));
        QVERIFY(commands.wait(2000));
        QCOMPARE(line.readUntil("OK", 300), QByteArray());
        QCOMPARE(sim.commands(), QList<QByteArray>{"+VER_INFO=?"});
    }

    void splitAnswer() {
        Config config;
        config.splitParts = 3;
        config.splitPauseMs = 100;
        PanelSim sim(config);
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
        QVERIFY2(clock.elapsed() >= 195, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(line.pieces >= 2, qPrintable(QString::number(line.pieces)));
    }

    void lateAnswer() {
        Config config;
        config.delayMs = 300;
        config.echoCommands = true;
        PanelSim sim(config);
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QElapsedTimer clock;
        clock.start();
        QVERIFY(line.write(VersionRequest));
        // The echo is immediate, the answer late.
        QCOMPARE(line.readUntil(VersionRequest), VersionRequest);
        QVERIFY(clock.elapsed() < 250);
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
        QVERIFY2(clock.elapsed() >= 300, qPrintable(QString::number(clock.elapsed())));
    }

    // Bytes that cannot start a command end the dialogue at once.
    void dataWithoutDialogueIsDeviceData() {
        PanelSim sim;
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(QByteArray("\x01\x02+VER_INFO=?\r\n", 15)));
        QCOMPARE(line.readUntil("\r\n"), QByteArray("\x01\x02+VER_INFO=?\r\n", 15));
        QVERIFY(sim.commands().isEmpty());
        QVERIFY(sim.inDeviceMode());
    }

    // What follows the version request in the same write already belongs to the device.
    void dataRightAfterVersionRequest() {
        PanelSim sim;
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(VersionRequest + "abc"));
        QCOMPARE(line.readUntil(VersionAnswer + "abc"), VersionAnswer + "abc");
        QCOMPARE(sim.deviceData(), QByteArray("abc"));
    }

    void scriptedDevice() {
        Config config;
        QString error;
        config.script = PanelSim::parseScript("\"PING\\r\" => \"PONG\\r\"\n01 02 => 03 FF 00\n", &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        PanelSim sim(config);
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);

        QSignalSpy received(&sim, &PanelSim::dataReceived);
        QVERIFY(line.write("PI"));
        QVERIFY(received.wait(2000));
        QVERIFY(line.write("NG\r"));
        QCOMPARE(line.readUntil("PONG\r"), QByteArray("PONG\r")); // request split over writes
        QVERIFY(line.write(QByteArray("\x7f\x01\x02", 3)));
        QCOMPARE(line.readUntil(QByteArray("\x03\xff\x00", 3)), QByteArray("\x03\xff\x00", 3));
    }

    // "+rb\r" restarts the panel: the next connection finds the dialogue again.
    void rbRestartsDialogue() {
        PanelSim sim;
        QVERIFY(sim.startPty());
        Line line(sim.portName());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
        QSignalSpy commands(&sim, &PanelSim::commandReceived);
        QVERIFY(line.write("data+r"));
        QCOMPARE(line.readUntil("data+r"), QByteArray("data+r"));
        QVERIFY(line.write("b\r"));
        QVERIFY(commands.wait(2000));
        QVERIFY(sim.rbReceived());
        QCOMPARE(sim.commands().last(), QByteArray("+rb"));
        QVERIFY(!sim.inDeviceMode());
        line.readUntil("b\r"); // the device echoed the rest of its data
        QVERIFY(line.write(VersionRequest));
        QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
    }

    // The adapter is pulled and plugged back; the panel goes on as a device.
    void unplugAndReplug() {
        PanelSim sim;
        QVERIFY(sim.startPty());
        const QString name = sim.portName();
        {
            Line line(name);
            QVERIFY(line.isOpen());
            QVERIFY(line.write(VersionRequest));
            QCOMPARE(line.readUntil(VersionAnswer), VersionAnswer);
            sim.unplug();
            QVERIFY(!sim.isPlugged());
            char buffer[COM_BUFFER_SIZE];
            QCOMPARE(ReadCOMData(line.handle, buffer), -1);
            QVERIFY(!COMPortExists(name));
            QVERIFY(sim.devicePath().isEmpty());
        }
        {
            // Another program's terminal usually gets the pulled one's number: the name
            // must not lead there.
            const int stranger = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            QVERIFY(stranger >= 0);
            QVERIFY(::grantpt(stranger) == 0 && ::unlockpt(stranger) == 0);
            COMHandle h = INVALID_COM_HANDLE;
            const bool opened = OpenCOMPort(name, 19200, h);
            CloseCOMPort(h);
            ::close(stranger);
            QVERIFY(!opened);
            QVERIFY(!COMPortExists(name));
        }
        QVERIFY(sim.replug());
        QCOMPARE(sim.portName(), name);
        QVERIFY(COMPortExists(name));
        Line line(name);
        QVERIFY(line.isOpen());
        QVERIFY(line.write("after"));
        QCOMPARE(line.readUntil("after"), QByteArray("after"));
        QVERIFY(sim.inDeviceMode());
    }

    void tcpPanel() {
        PanelSim sim;
        QVERIFY2(sim.startTcp(0), qPrintable(sim.errorString()));
        QVERIFY(sim.tcpPort() != 0);
        QCOMPARE(sim.portName(), QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort()));

        auto converse = [](QTcpSocket& socket, const QByteArray& request, const QByteArray& answer) {
            socket.write(request);
            QByteArray got;
            QTRY_VERIFY_WITH_TIMEOUT((got += socket.readAll()).contains(answer), 2000);
            QCOMPARE(got, answer);
        };
        QTcpSocket first;
        first.connectToHost(QHostAddress::LocalHost, sim.tcpPort());
        QVERIFY(first.waitForConnected(2000));
        converse(first, "+CHECK_MASTER_CODE=1,\"1234\"\r\n", "OK\r\n");
        converse(first, VersionRequest, VersionAnswer);
        converse(first, QByteArray("\x00\x11\x13\xff", 4), QByteArray("\x00\x11\x13\xff", 4));

        // A new client replaces the old one and starts a new dialogue.
        QTcpSocket second;
        QSignalSpy dropped(&first, &QTcpSocket::disconnected);
        second.connectToHost(QHostAddress::LocalHost, sim.tcpPort());
        QVERIFY(second.waitForConnected(2000));
        QVERIFY(dropped.wait(2000));
        converse(second, VersionRequest, VersionAnswer);
    }

    // The program a person runs: prints the port, answers with its options, and
    // removes its port when terminated.
    void executable() {
        QProcess sim;
        sim.start(KESTROM_PANEL_SIM, {"--code", "4321", "--version", "ABC.02.07", "--quiet"});
        QVERIFY(sim.waitForStarted(5000));
        QVERIFY(sim.waitForReadyRead(5000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 2000);
        const QString name = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(QFileInfo(name).isSymLink(), qPrintable(name));
        QVERIFY(COMPortExists(name));
        {
            Line line(name);
            QVERIFY(line.isOpen());
            QVERIFY(line.write("+CHECK_MASTER_CODE=1,\"4321\"\r\n"));
            QCOMPARE(line.readUntil("OK\r\n"), QByteArray("OK\r\n"));
            QVERIFY(line.write(VersionRequest));
            QCOMPARE(line.readUntil("OK\r\n"), QByteArray("+VER_INFO=1,\"ABC.02.07\",\"2024\"\r\nOK\r\n"));
        }
        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QVERIFY(!QFileInfo(name).isSymLink());
    }

    // --fast over TCP, as the relay benchmark runs it: every byte of a stream larger than
    // the panel's pending limit comes back once and in order ("+rb\r" among them, which
    // the fast loop echoes like data), a new client still takes over from one in the fast
    // loop, and a signal still ends the program.
    void fastTcpEchoExecutable() {
        QProcess sim;
        sim.start(KESTROM_PANEL_SIM, {"--tcp", "0", "--fast", "--quiet"});
        QVERIFY(sim.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(sim.canReadLine(), 5000);
        const QString name = QString::fromLocal8Bit(sim.readLine()).trimmed();
        QVERIFY2(name.startsWith("127.0.0.1:"), qPrintable(name));
        const quint16 port = quint16(name.section(':', 1).toUInt());

        QByteArray stream;
        for (int i = 0; stream.size() < 3 * 1024 * 1024; ++i)
            stream += allByteValues().mid(i % 256) + "+rb\r";
        auto connectAndAsk = [port](QTcpSocket& socket) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(socket.waitForConnected(5000));
            socket.write(VersionRequest);
            QByteArray got;
            QTRY_VERIFY_WITH_TIMEOUT((got += socket.readAll()).endsWith("OK\r\n"), 5000);
            QCOMPARE(got, VersionAnswer);
        };
        QTcpSocket first;
        connectAndAsk(first);
        first.write(stream); // all at once: the panel must hold the sender back, not drop
        QByteArray back;
        QTRY_VERIFY_WITH_TIMEOUT((back += first.readAll()).size() >= stream.size(), 20000);
        QVERIFY(back == stream);

        QTcpSocket second;
        QSignalSpy dropped(&first, &QTcpSocket::disconnected);
        connectAndAsk(second);
        QTRY_VERIFY_WITH_TIMEOUT(dropped.size() == 1, 5000);
        second.write("\x11\x13 after");
        back.clear();
        QTRY_COMPARE_WITH_TIMEOUT(back += second.readAll(), QByteArray("\x11\x13 after"), 5000);

        sim.terminate();
        QVERIFY(sim.waitForFinished(5000));
        QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.exitCode(), 0);
    }

    void unescape_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("ok");
        QTest::newRow("plain") << QByteArray("abc") << QByteArray("abc") << true;
        QTest::newRow("line ends") << QByteArray("OK\\r\\n") << QByteArray("OK\r\n") << true;
        QTest::newRow("hex") << QByteArray("\\x00\\xfF\\x41")
                             << QByteArray("\x00\xff"
                                           "A",
                                           3)
                             << true;
        QTest::newRow("nul") << QByteArray("a\\0b") << QByteArray("a\0b", 3) << true;
        QTest::newRow("quote and backslash") << QByteArray("\\\"\\\\") << QByteArray("\"\\") << true;
        QTest::newRow("trailing backslash") << QByteArray("a\\") << QByteArray("a\\") << true;
        QTest::newRow("broken hex") << QByteArray("\\xZ1") << QByteArray("\\xZ1") << false;
    }
    void unescape() {
        QFETCH(QByteArray, text);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, ok);
        bool good = !ok;
        QCOMPARE(PanelSim::unescape(text, &good), bytes);
        QCOMPARE(good, ok);
    }

    void parseScript_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("entries");
        QTest::addColumn<QByteArray>("firstRequest");
        QTest::addColumn<QByteArray>("firstResponse");
        QTest::newRow("strings") << QByteArray("\"A\\r\" => \"B\\r\\n\"") << 1 << QByteArray("A\r")
                                 << QByteArray("B\r\n");
        QTest::newRow("hex") << QByteArray("01 0a=>FF00") << 1 << QByteArray("\x01\x0a")
                             << QByteArray("\xff\x00", 2);
        QTest::newRow("mixed, comments, blanks")
            << QByteArray("# greeting\n\n  \"H\" 00 => \"=>\" 0D\n\"x\"=>\"y\"\n") << 2
            << QByteArray("H\0", 2) << QByteArray("=>\r");
        QTest::newRow("empty response") << QByteArray("\"q\" =>") << 1 << QByteArray("q") << QByteArray();
        QTest::newRow("no separator") << QByteArray("\"a\" \"b\"") << 0 << QByteArray() << QByteArray();
        QTest::newRow("odd hex") << QByteArray("0 => 1") << 0 << QByteArray() << QByteArray();
        QTest::newRow("open string") << QByteArray("\"a => \"b\"") << 0 << QByteArray() << QByteArray();
        QTest::newRow("empty request") << QByteArray("=> \"b\"") << 0 << QByteArray() << QByteArray();
    }
    void parseScript() {
        QFETCH(QByteArray, text);
        QFETCH(int, entries);
        QFETCH(QByteArray, firstRequest);
        QFETCH(QByteArray, firstResponse);
        QString error;
        const QList<PanelSim::ScriptEntry> script = PanelSim::parseScript(text, &error);
        QCOMPARE(script.size(), entries);
        QCOMPARE(error.isEmpty(), entries > 0);
        if (entries > 0) {
            QCOMPARE(script.first().request, firstRequest);
            QCOMPARE(script.first().response, firstResponse);
        }
    }
};

QTEST_GUILESS_MAIN(TestPanelSim)
#include "tst_panelsim.moc"
