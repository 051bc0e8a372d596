// The sample setup program, run as a real child process against a local server on
// 127.0.0.1, the way the wizard runs it.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

constexpr int kTimeoutMs = 10000;

quint16 freePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    return probe.serverPort();
}

} // namespace

class TestSetupSim : public QObject {
    Q_OBJECT

  private slots:
    void init();
    void cleanup();
    void startsInGivenDirectoryWithoutArguments();
    void echoReturnsEveryByte();
    void reconnectsWhenTheServerReturns();
    void terminalSendsTypedLinesAndPrintsReceivedBytes();
    void scriptReportsItsOutcome_data();
    void scriptReportsItsOutcome();

  private:
    void startSim(const QString& mode, quint16 port, const QString& script = {});
    QTcpSocket* acceptFrom(QTcpServer& server);
    QStringList recordLines() const;
    int recorded(const QString& line) const { return int(recordLines().count(line)); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_record;
    QString m_workDir;
    std::unique_ptr<QProcess> m_sim;
};

void TestSetupSim::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_record = m_dir->filePath("record.txt");
    m_workDir = m_dir->filePath("wizard dir");
    QVERIFY(QDir().mkpath(m_workDir));
}

void TestSetupSim::cleanup() {
    if (m_sim && m_sim->state() != QProcess::NotRunning) {
        m_sim->kill();
        m_sim->waitForFinished(kTimeoutMs);
    }
    m_sim.reset();
    m_dir.reset();
}

void TestSetupSim::startSim(const QString& mode, quint16 port, const QString& script) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTROM_SETUP_HOST", "127.0.0.1");
    env.insert("KESTROM_SETUP_PORT", QString::number(port));
    env.insert("KESTROM_SETUP_MODE", mode);
    env.insert("KESTROM_SETUP_RECORD", m_record);
    if (!script.isEmpty())
        env.insert("KESTROM_SETUP_SCRIPT", script);
    m_sim = std::make_unique<QProcess>();
    m_sim->setProcessEnvironment(env);
    m_sim->setWorkingDirectory(m_workDir);
    m_sim->setProgram(QStringLiteral(KESTROM_SETUP_SIM));
    m_sim->start();
    QVERIFY2(m_sim->waitForStarted(kTimeoutMs), qPrintable(m_sim->errorString()));
}

QTcpSocket* TestSetupSim::acceptFrom(QTcpServer& server) {
    if (!server.hasPendingConnections())
        server.waitForNewConnection(kTimeoutMs);
    return server.nextPendingConnection();
}

QStringList TestSetupSim::recordLines() const {
    QFile file(m_record);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

// The wizard starts the program with no arguments in the wizard's directory; relative
// paths of a setup program resolve there.
void TestSetupSim::startsInGivenDirectoryWithoutArguments() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    startSim("sink", server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(!recordLines().isEmpty(), kTimeoutMs);

    const QStringList fields = recordLines().first().split(u'\t');
    QCOMPARE(fields.size(), 3);
    QVERIFY(fields[0].startsWith("cwd="));
    QCOMPARE(QFileInfo(fields[0].mid(4)).canonicalFilePath(), QFileInfo(m_workDir).canonicalFilePath());
    QCOMPARE(fields[1], QStringLiteral("args="));
    QCOMPARE(fields[2], QStringLiteral("pid=%1").arg(m_sim->processId()));

    QTcpSocket* conn = acceptFrom(server);
    QVERIFY(conn);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("connected"), 1, kTimeoutMs);
}

// Relayed data is binary: XON/XOFF, NUL, CR and 0xFF must come back unchanged.
void TestSetupSim::echoReturnsEveryByte() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    startSim("echo", server.serverPort());
    QTcpSocket* conn = acceptFrom(server);
    QVERIFY(conn);

    QByteArray sent;
    for (int round = 0; round < 64; ++round)
        for (int b = 0; b < 256; ++b)
            sent.append(char(b));
    QByteArray back;
    connect(conn, &QTcpSocket::readyRead, this, [&] { back += conn->readAll(); });
    conn->write(sent);
    QTRY_COMPARE_WITH_TIMEOUT(back.size(), sent.size(), kTimeoutMs);
    QCOMPARE(back, sent);
}

// The wizard stops its server while the serial port is lost and listens again when
// it returns; the setup program must find it again without being restarted.
void TestSetupSim::reconnectsWhenTheServerReturns() {
    const quint16 port = freePort();
    QVERIFY(port != 0);
    startSim("echo", port);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("waiting"), 1, kTimeoutMs); // nothing listens yet

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    QTcpSocket* first = acceptFrom(server);
    QVERIFY(first);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("connected"), 1, kTimeoutMs);

    server.close();
    first->abort();
    QTRY_COMPARE_WITH_TIMEOUT(recorded("disconnected"), 1, kTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("waiting"), 2, kTimeoutMs); // refused while we are away

    QVERIFY(server.listen(QHostAddress::LocalHost, port));
    QTcpSocket* second = acceptFrom(server);
    QVERIFY(second);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("connected"), 2, kTimeoutMs);

    QByteArray back;
    connect(second, &QTcpSocket::readyRead, this, [&] { back += second->readAll(); });
    second->write("+VER_INFO=?\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(back, QByteArray("+VER_INFO=?\r\n"), kTimeoutMs);
    QCOMPARE(m_sim->state(), QProcess::Running);
}

void TestSetupSim::terminalSendsTypedLinesAndPrintsReceivedBytes() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    startSim("terminal", server.serverPort());
    QTcpSocket* conn = acceptFrom(server);
    QVERIFY(conn);
    QTRY_COMPARE_WITH_TIMEOUT(recorded("connected"), 1, kTimeoutMs);

    QByteArray got;
    connect(conn, &QTcpSocket::readyRead, this, [&] { got += conn->readAll(); });
    m_sim->write("+VER_INFO=?\n+v\r\n");
    QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray("+VER_INFO=?\r\n+v\r\n"), kTimeoutMs);
    // A last line without a line break still goes out when input ends.
    m_sim->write("+rb");
    m_sim->closeWriteChannel();
    QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray("+VER_INFO=?\r\n+v\r\n+rb\r\n"), kTimeoutMs);

    QByteArray out;
    conn->write("OK\r\n");
    QTRY_VERIFY_WITH_TIMEOUT((out += m_sim->readAllStandardOutput()).contains("OK.."), kTimeoutMs);
    QVERIFY(out.contains("4F 4B 0D 0A"));
}

void TestSetupSim::scriptReportsItsOutcome_data() {
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("dropConnection");
    QTest::addColumn<QString>("outcome");

    QTest::newRow("dialogue completes")
        << QByteArray("# ask for the version\nsend 2B 76 0D\nexpect 4F4B0D\nwait 20\n\nsend 41\n") << false
        << "script pass";
    QTest::newRow("connection lost while expecting") << QByteArray("send 2B 76 0D\nexpect 58 59 5A\n") << true
                                                     << "script fail: connection lost at script line 2";
    QTest::newRow("odd hex digit count")
        << QByteArray("send 2B7\n") << false << "script fail: script line 1 not understood: send 2B7";
    QTest::newRow("unknown command") << QByteArray("\nsendtext hello\n") << false
                                     << "script fail: script line 2 not understood: sendtext hello";
}

void TestSetupSim::scriptReportsItsOutcome() {
    QFETCH(QByteArray, script);
    QFETCH(bool, dropConnection);
    QFETCH(QString, outcome);

    const QString scriptPath = m_dir->filePath("script.txt");
    QFile file(scriptPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(script);
    file.close();

    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    startSim("script", server.serverPort(), scriptPath);

    if (!outcome.contains("not understood")) {
        QTcpSocket* conn = acceptFrom(server);
        QVERIFY(conn);
        QByteArray got;
        connect(conn, &QTcpSocket::readyRead, this, [&] { got += conn->readAll(); });
        QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray("+v\r"), kTimeoutMs);
        if (dropConnection) {
            conn->abort();
        } else {
            // Noise first, and the answer in two writes: the expectation must span reads.
            conn->write("xxO");
            conn->flush();
            conn->write("K\r");
            QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray("+v\rA"), kTimeoutMs);
        }
    } else {
        QVERIFY(m_sim->waitForFinished(kTimeoutMs));
        QCOMPARE(m_sim->exitCode(), 2);
    }
    QTRY_VERIFY_WITH_TIMEOUT(recordLines().contains(outcome), kTimeoutMs);
}

QTEST_GUILESS_MAIN(TestSetupSim)
#include "tst_setupsim.moc"
