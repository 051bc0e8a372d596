// The LAN channel end to end: the real main window (offscreen), the panel simulator on a
// real TCP port of 127.0.0.1, the local server and the sample setup program as a real
// child process. The click on "Подключить" returns at once on this channel; everything
// after it happens in socket events, so the tests wait with QTRY_* for conditions.
#include "PanelSim.h"
#include "TestForms.h"
#include "app/AppStartup.h"
#include "app/DeviceHandshake.h"
#include "app/MainFormUnit.h"
#include "channels/SocketErrors.h"
#include "log/LOGUnit.h"
#include "log/LogFormat.h"
#include "log/TimeFuncs.h"
#include "relay/RelayCore.h"
#include "settings/SettingsStore.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLibraryInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <cerrno>
#include <signal.h>
#include <unistd.h>

namespace {
QStringList bodies() {
    QStringList out;
    for (const QString& l : LogLines())
        out << LogBody(l);
    return out;
}

int countBody(const QString& body) {
    return int(bodies().count(body));
}

int countPrefix(const QString& prefix) {
    int n = 0;
    for (const QString& b : bodies())
        if (b.startsWith(prefix))
            ++n;
    return n;
}

// Ports of 127.0.0.1 that the namespace of unreachableNumbers answers with ICMP or refuses.
constexpr quint16 RejectHostPort = 9;
constexpr quint16 RejectNetPort = 8;
constexpr quint16 RefusedPort = 7;
const QByteArray DefaultIni = "OLDCONNECT=0\r\nSP=0\r\nRB=0\r\nSIMPANEL=setup-sim\r\n";
constexpr int Long = 15000; // deadlines generous enough for a loaded machine
} // namespace

struct LanBench;
// A test that answers the boxes itself hands them back to the fixture's recorder when it
// ends, before the variables its handler uses are gone.
struct BoxesBackToRecorder {
    LanBench& bench;
    ~BoxesBackToRecorder();
};

// Forms on the IP channel, aimed at an in-process panel on a free port; the sample setup
// program beside the "executable", talking to a private server port.
struct LanBench {
    FormsFixture fx;
    QTemporaryDir recordDir;
    PanelSim panel;
    QString record;
    TMainKestromForm* f = nullptr;

    explicit LanBench(PanelSim::Config config, const QByteArray& setupMode = "echo", bool listen = true) {
        fx.WriteSetupIni(DefaultIni);
        QFile::copy(KESTROM_SETUP_SIM, fx.appDir() + "/setup-sim");
        // The device bytes the setup program echoes must come back to the test, not bounce.
        config.echoDeviceData = false;
        panel.setConfig(config);
        const quint16 port = listen ? (panel.startTcp(0), panel.tcpPort()) : FreeTcpPort();
        fx.Create();
        LOGForm->show();
        f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chIP);
        f->ConnectTypeComboBoxChange();
        f->IPCombo->setEditText(QStringLiteral("127.0.0.1"));
        f->PortCombo->setEditText(QString::number(port));
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        record = PrepareSetupSim(recordDir.path(), TCPServerSettingsForm->PortEdit->text(), setupMode);
    }
    ~LanBench() {
        if (setupPid > 0)
            ::kill(setupPid, SIGCONT);
        SetTickClockForTest(0, 1);
        fx.Destroy();
    }

    QStringList records() const {
        QFile file(record);
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    int starts() const {
        int n = 0;
        for (const QString& r : records())
            n += r.startsWith("cwd=");
        return n;
    }
    void useMasterCode(const QString& code) {
        f->MKChB->setChecked(true);
        f->MKChBClick();
        f->MasterKeyEdit->setText(code);
    }
    void click() { f->URLLabel1->Click(); }
    // Connects and waits until the setup program is connected to the local server.
    bool connectSession() {
        click();
        if (!QTest::qWaitFor([&] { return f->FSetupConnected && f->ServerConnectionCount() == 1; }, Long))
            return false;
        const QStringList rec = records();
        if (!rec.isEmpty())
            setupPid = rec.first().section("pid=", 1).toInt();
        return true;
    }
    pid_t setupPid = 0;
};

BoxesBackToRecorder::~BoxesBackToRecorder() {
    LanBench* b = &bench;
    Platform::SetMessageBoxHandler([b](const Platform::BoxRecord& r) { b->fx.boxes.boxes << r; });
}

class TestLANChannel : public QObject {
    Q_OBJECT
  private slots:
    // ---- rules ---------------------------------------------------------------------------

    void answerCollection_data() {
        QTest::addColumn<QList<QByteArray>>("reads");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QByteArray>("collected");
        QTest::addColumn<bool>("complete");
        QTest::newRow("answer with OK") << QList<QByteArray>{"+VER_INFO=1,\"A.01\"\r\nOK\r\n"} << 100
                                        << QByteArray("+VER_INFO=1,\"A.01\"\r\nOK\r\n") << true;
        QTest::newRow("OK split over two reads")
            << QList<QByteArray>{"xO", "K"} << 100 << QByteArray("xOK") << true;
        QTest::newRow("OK without line end, mid-text")
            << QList<QByteArray>{"aOKb"} << 100 << QByteArray("aOKb") << true;
        QTest::newRow("lower case is no OK")
            << QList<QByteArray>{"ok\r\n"} << 100 << QByteArray("ok\r\n") << false;
        QTest::newRow("nothing yet") << QList<QByteArray>{} << 100 << QByteArray() << false;
        QTest::newRow("cut at the limit")
            << QList<QByteArray>{"12345", "678"} << 6 << QByteArray("123456") << false;
        QTest::newRow("OK beyond the limit is not kept")
            << QList<QByteArray>{"1234", "OK"} << 4 << QByteArray("1234") << false;
        QTest::newRow("full: later reads dropped")
            << QList<QByteArray>{"OKOK", "more", "and more"} << 4 << QByteArray("OKOK") << true;
    }
    void answerCollection() {
        QFETCH(QList<QByteArray>, reads);
        QFETCH(int, limit);
        QFETCH(QByteArray, collected);
        QFETCH(bool, complete);
        QByteArray answer;
        for (const QByteArray& r : reads)
            DeviceHandshake::CollectLANAnswer(answer, r, limit);
        QCOMPARE(answer, collected);
        QCOMPARE(DeviceHandshake::LANAnswerComplete(answer), complete);
    }

    void winsockNumbers_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("native"); // errno at the error signal
        QTest::addColumn<int>("code");
        const int net = int(QAbstractSocket::NetworkError);
        QTest::newRow("refused") << int(QAbstractSocket::ConnectionRefusedError) << 0 << 10061;
        QTest::newRow("timed out") << int(QAbstractSocket::SocketTimeoutError) << 0 << 10060;
        QTest::newRow("address not available")
            << int(QAbstractSocket::SocketAddressNotAvailableError) << 0 << 10049;
        QTest::newRow("reset") << int(QAbstractSocket::RemoteHostClosedError) << 0 << 10054;
        QTest::newRow("network unreachable") << net << ENETUNREACH << 10051;
        QTest::newRow("host unreachable") << net << EHOSTUNREACH << 10065;
        QTest::newRow("kernel gave the connect up") << net << ETIMEDOUT << 10060;
        QTest::newRow("network error, system's error overwritten") << net << EAGAIN << 10051;
        QTest::newRow("network error, no system error") << net << 0 << 10051;
        QTest::newRow("refused whatever errno says")
            << int(QAbstractSocket::ConnectionRefusedError) << EHOSTUNREACH << 10061;
        QTest::newRow("host not found") << int(QAbstractSocket::HostNotFoundError) << 0 << 11001;
        QTest::newRow("aborted") << int(QAbstractSocket::OperationError) << 0 << 10053;
    }
    void winsockNumbers() {
        QFETCH(int, error);
        QFETCH(int, native);
        QFETCH(int, code);
        QCOMPARE(SocketErrors::WinsockError(QAbstractSocket::SocketError(error), native), code);
    }

    // The error handler's table: which box, and whether the channel resets, retries or gives up.
    void errorPolicy_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("setupRunning");
        QTest::addColumn<int>("attempts");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<bool>("retry");
        const QString fail = QStringLiteral("Сбой подключения.");
        QTest::newRow("10049, first connect")
            << 10049 << false << 0 << QStringList{"Нет ответа с указанного адреса."} << false;
        QTest::newRow("10053 shows nothing") << 10053 << false << 0 << QStringList{} << false;
        QTest::newRow("10060") << 10060 << false << 0 << QStringList{fail} << false;
        QTest::newRow("10061, setup running, 3 attempts") << 10061 << true << 3 << QStringList{fail} << true;
        QTest::newRow("10053, setup running") << 10053 << true << 9 << QStringList{} << true;
        QTest::newRow("10061, tenth attempt") << 10061 << true << 10 << QStringList{fail, fail} << false;
    }
    void errorPolicy() {
        QFETCH(int, code);
        QFETCH(bool, setupRunning);
        QFETCH(int, attempts);
        QFETCH(QStringList, boxes);
        QFETCH(bool, retry);
        LanBench b(PanelSim::Config{}, "sink", false);
        TMainKestromForm* f = b.f;
        f->SetLink(lsConnecting, QStringLiteral("Отключить"));
        f->FSetupIsStarted = setupRunning;
        f->FReconectCount = attempts;
        int errorCode = code;
        f->ClientSocketError(errorCode);
        QCOMPARE(errorCode, 0);
        QCOMPARE(f->Label7->text(), QStringLiteral("Прибор не доступен"));
        QVERIFY(bodies().contains(QStringLiteral(" Ошибка сокета %1").arg(code)));
        QCOMPARE(b.fx.boxes.texts(), boxes);
        QCOMPARE(f->Timer1->isActive(), retry);
        QCOMPARE(countBody(QStringLiteral(" Попыток переподключения %1").arg(attempts)), retry ? 1 : 0);
        // Without a setup program the channel goes back to idle; with one it stays up.
        QCOMPARE(f->URLLabel1->Tag, setupRunning ? int(lsConnecting) : int(lsIdle));
        QCOMPARE(f->URLLabel1->text(),
                 setupRunning ? QStringLiteral("Отключить") : QStringLiteral("Подключить"));
        f->FSetupIsStarted = false;
    }

    // ---- sessions ----------------------------------------------------------------------------

    void nothingListening() {
        LanBench b(PanelSim::Config{}, "sink", false);
        TMainKestromForm* f = b.f;
        b.click();
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отмена подключения"));
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(" Ошибка сокета 10061"), Long);
        QCOMPARE(f->Label7->text(), QStringLiteral("Прибор не доступен"));
        QCOMPARE(b.fx.boxes.texts(), QStringList{"Сбой подключения."});
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QVERIFY(f->IPCombo->isEnabled() && f->PortCombo->isEnabled() && f->ConnectTypeComboBox->isEnabled());
        // No retry: nothing is scheduled and no connect is on its way.
        QVERIFY(!f->Timer1->isActive());
        QCOMPARE(f->ClientSocket->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(!f->FSetupIsStarted);
        QCOMPARE(countPrefix(" Попыток переподключения"), 0);
    }

    // The program installs Qt's Russian strings, so Qt's texts ("Узел недоступен") cannot
    // tell an unreachable host from an unreachable network: the system's error must. Each
    // row runs in a network namespace of its own with only the loopback up, so nothing
    // leaves the machine: no route at all (fails at once), a route that says unreachable
    // (at once), and ICMP answers to a SYN on loopback (the kernel reports them later, on
    // Qt's second look at the connect).
    void unreachableNumbers_data() {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("code");
        QTest::newRow("no route to the network") << "10.1.2.3" << 80 << 10051;
        QTest::newRow("route to the host unreachable") << "10.9.9.9" << 80 << 10065;
        QTest::newRow("ICMP host unreachable") << "127.0.0.1" << int(RejectHostPort) << 10065;
        QTest::newRow("ICMP network unreachable") << "127.0.0.1" << int(RejectNetPort) << 10051;
        QTest::newRow("refused") << "127.0.0.1" << int(RefusedPort) << 10061;
    }
    void unreachableNumbers() {
        QFETCH(QString, address);
        QFETCH(int, port);
        QFETCH(int, code);
        if (!qEnvironmentVariableIsSet("KESTROM_TEST_NETNS")) {
            if (::geteuid() != 0)
                QSKIP("a network namespace of its own needs root");
            if (QStandardPaths::findExecutable("unshare").isEmpty() ||
                QStandardPaths::findExecutable("ip", {"/usr/sbin", "/sbin"}).isEmpty() ||
                QStandardPaths::findExecutable("nft", {"/usr/sbin", "/sbin"}).isEmpty())
                QSKIP("unshare, ip or nft missing (util-linux, iproute2, nftables)");
            if (QProcess::execute("unshare", {"-n", "true"}) != 0)
                QSKIP("no network namespace can be made here");
            QProcess row;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTROM_TEST_NETNS", "1");
            row.setProcessEnvironment(env);
            row.setProcessChannelMode(QProcess::MergedChannels);
            row.start("unshare", {"-n", QCoreApplication::applicationFilePath(),
                                  QStringLiteral("unreachableNumbers:") + QTest::currentDataTag()});
            QVERIFY(row.waitForFinished(60000));
            const QString out = QString::fromUtf8(row.readAll());
            QVERIFY2(row.exitCode() == 0 && out.contains("PASS   : TestLANChannel::unreachableNumbers("),
                     qPrintable(out));
            return;
        }
        // In the namespace: loopback up, the two routes and the ICMP answers.
        const auto run = [](const char* program, const QStringList& args) {
            const QString path = QStandardPaths::findExecutable(program, {"/usr/sbin", "/sbin"});
            return !path.isEmpty() && QProcess::execute(path, args) == 0;
        };
        QVERIFY(run("ip", {"link", "set", "lo", "up"}));
        QVERIFY(run("ip", {"route", "add", "unreachable", "10.9.9.9"}));
        QVERIFY(run("nft", {"add table inet kestrom; "
                            "add chain inet kestrom out { type filter hook output priority 0; }; "
                            "add rule inet kestrom out tcp dport " +
                            QString::number(RejectHostPort) + " reject with icmp type host-unreachable; " +
                            "add rule inet kestrom out tcp dport " + QString::number(RejectNetPort) +
                            " reject with icmp type net-unreachable"}));
        QVERIFY(AppStartup::LoadQtTranslations(QLibraryInfo::path(QLibraryInfo::TranslationsPath)));
        QCOMPARE(QCoreApplication::translate("QNativeSocketEngine", "Host unreachable"),
                 QStringLiteral("Узел недоступен"));

        LanBench b(PanelSim::Config{}, "sink", false);
        b.f->IPCombo->setEditText(address);
        b.f->PortCombo->setEditText(QString::number(port));
        b.click();
        QTRY_VERIFY_WITH_TIMEOUT(countPrefix(" Ошибка сокета ") == 1, Long);
        QVERIFY2(bodies().contains(QStringLiteral(" Ошибка сокета %1").arg(code)),
                 qPrintable(bodies().join('\n')));
        QCOMPARE(b.fx.boxes.texts(), QStringList{"Сбой подключения."});
    }

    void wholeSession() {
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        b.useMasterCode("1234");
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        QVERIFY(bodies().contains(" LAN connect"));
        QCOMPARE(f->Label7->text(), QStringLiteral("Подключен"));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отключить"));
        QCOMPARE(f->URLLabel1->Tag, int(lsConnecting));
        QVERIFY(!f->IPCombo->isEnabled() && !f->PortCombo->isEnabled() &&
                !f->ConnectTypeComboBox->isEnabled());
        QCOMPARE(b.starts(), 1);
        QCOMPARE(b.panel.commands(), (QList<QByteArray>{"+CHECK_MASTER_CODE=1,\"1234\"", "+VER_INFO=?"}));
        {
            SettingsStore store;
            QCOMPARE(store.readString("LastIP").value_or(QString()), QStringLiteral("127.0.0.1"));
            QCOMPARE(store.readInteger("LastPort").value_or(0), qint32(b.panel.tcpPort()));
        }

        // Every byte value to the setup program, which echoes it back to the panel. Had the
        // handshake answer reached the setup program, it would come back here too.
        b.panel.send(AllByteValues());
        QTRY_COMPARE_WITH_TIMEOUT(b.panel.deviceData().size(), qsizetype(256), Long);
        QCOMPARE(b.panel.deviceData(), AllByteValues());
        QCOMPARE(countBody(" PANEL->SETUP"), 1);
        QVERIFY(countBody(" SETUP->PANEL") >= 1);
        const QStringList dump = LogFormat::hexDumpLines(AllByteValues(), 256);
        const QStringList log = bodies();
        const qsizetype at = log.indexOf(" PANEL->SETUP");
        QCOMPARE(log.mid(at + 1, dump.size()), [&] {
            QStringList l;
            for (const QString& d : dump)
                l << " " + d;
            return l;
        }());
        for (const QString& line : log)
            QVERIFY2(!line.contains("VER_INFO") && !line.contains("CHECK_MASTER") &&
                         !line.contains("SIMPANEL"),
                     qPrintable(line));

        // The user's disconnect: no disconnect line, no reconnect, everything stopped.
        b.click();
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QVERIFY(f->IPCombo->isEnabled() && f->ConnectTypeComboBox->isEnabled());
        QVERIFY(!f->Timer1->isActive());
        QVERIFY(!f->ServerSocket->isListening());
        QVERIFY(!f->FSetupIsStarted);
        QCOMPARE(countBody(" Получен disconnect от панели."), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!b.panel.hasClient(), Long);
        QCOMPARE(b.panel.connectionCount(), 1);
    }

    // A close by the panel is its disconnect; a reset is a socket error (it used to pass for
    // a close): error 10054 logged, the device shown unreachable, the box, then the retry.
    void panelDrops_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("FIN") << false;
        QTest::newRow("RST") << true;
    }
    void panelDrops() {
        QFETCH(bool, reset);
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        f->FReconectCount = 5; // a connect sets it back to 0

        QElapsedTimer sinceDrop;
        sinceDrop.start();
        // Its last bytes go out right before the drop, while the wizard has read none of them:
        // they still reach the setup program, ahead of the drop.
        b.panel.send("last words");
        b.panel.dropClient(reset);
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(" Получен disconnect от панели."), Long);
        QVERIFY(countBody(" PANEL->SETUP") >= 1);
        QVERIFY(bodies().indexOf(" PANEL->SETUP") < bodies().indexOf(" Получен disconnect от панели."));
        QCOMPARE(countBody(" Ошибка при ображении к оболочке"), 0);
        QVERIFY(!f->ServerSocket->isListening());
        const QStringList log = bodies();
        const qsizetype error = log.indexOf(" Ошибка сокета 10054");
        if (reset) {
            QCOMPARE(f->Label7->text(), QStringLiteral("Прибор не доступен"));
            QVERIFY(error >= 0 && error < log.indexOf(" Получен disconnect от панели."));
            // The count set above (a real session's connect would have made it 0).
            QVERIFY(log.indexOf(" Получен disconnect от панели.") <
                    log.indexOf(" Попыток переподключения 5"));
            QCOMPARE(b.fx.boxes.texts(), QStringList{"Сбой подключения."});
        } else {
            QCOMPARE(error, -1);
            QCOMPARE(countPrefix(" Попыток переподключения"), 0);
        }
        QTRY_COMPARE_WITH_TIMEOUT(b.panel.connectionCount(), 2, Long);
        const qint64 gap = sinceDrop.elapsed();
        QVERIFY2(gap >= 900, qPrintable(QString::number(gap)));
        QTRY_COMPARE_WITH_TIMEOUT(countBody(" LAN connect"), 2, Long);
        QTRY_VERIFY_WITH_TIMEOUT(f->ServerSocket->isListening(), Long);
        QCOMPARE(f->FReconectCount, 0);
        QCOMPARE(f->Label7->text(), QStringLiteral("Подключен"));
        QCOMPARE(b.fx.boxes.boxes.size(), reset ? 1 : 0);
        QCOMPARE(countPrefix(" Ошибка сокета"), reset ? 1 : 0);
        // The setup program was not started again; it finds the server back by itself.
        QCOMPARE(b.starts(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(f->FSetupConnected && f->ServerConnectionCount() == 1, Long);
        b.panel.send("after the drop");
        QTRY_VERIFY_WITH_TIMEOUT(b.panel.deviceData().endsWith("after the drop"), Long);
    }

    // The server cannot listen again at the reconnect (its port was lost meanwhile and
    // another program took it): the connection ends with the box naming the port, no
    // further reconnect.
    void serverRestartFailureEndsTheConnection() {
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        const quint16 port = f->ServerPort();
        b.panel.dropClient(false);
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(" Получен disconnect от панели."), Long);
        QVERIFY(!f->ServerSocket->isListening() && f->ServerSocket->isHeld());
        f->ServerSocket->Release();
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::LocalHost, port));
        QTRY_VERIFY_WITH_TIMEOUT(f->URLLabel1->Tag == lsIdle, Long);
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        QVERIFY(b.fx.boxes.boxes[0].text.contains(QString::number(port)));
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Подключить"));
        QCOMPARE(f->Label7->text(), QStringLiteral("Нет подключения"));
        QVERIFY(!f->ServerSocket->isListening() && !f->ServerSocket->isHeld());
        QVERIFY(!f->FSetupIsStarted);
        QVERIFY(!f->Timer1->isActive());
        QVERIFY(f->IPCombo->isEnabled() && f->ConnectTypeComboBox->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(!b.panel.hasClient(), Long);
        QCOMPARE(countBody(" Получен disconnect от панели."), 1);
    }

    void panelGoneAfterDrop() {
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        f->Timer1->setInterval(100); // the count is the point here, not the second
        b.panel.stopListening();
        const QString fail = QStringLiteral("Сбой подключения.");
        QTRY_COMPARE_WITH_TIMEOUT(b.fx.boxes.boxes.size(), 11, 30000);
        QCOMPARE(b.fx.boxes.texts(), QStringList(11, fail));
        QStringList counts;
        for (const QString& l : bodies())
            if (l.startsWith(" Попыток переподключения "))
                counts << l.section(' ', 3);
        QCOMPARE(counts, (QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9"}));
        QCOMPARE(countBody(" Ошибка сокета 10061"), 10);
        // Given up: nothing scheduled, the setup program runs, the window stays connected.
        QVERIFY(!f->Timer1->isActive());
        QCOMPARE(f->ClientSocket->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(f->FSetupIsStarted);
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отключить"));
        b.click();
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QVERIFY(!f->FSetupIsStarted);
    }

    // A panel that takes the connection and never answers: retried until the user cancels.
    // Row "box left open": the technician is away while the box is up; no attempt starts and
    // no box opens inside it until it is closed.
    void handshakeFails_data() {
        QTest::addColumn<int>("boxOpenMs");
        QTest::addColumn<int>("interval");
        QTest::newRow("box closed at once") << 0 << 1000;
        QTest::newRow("box left open") << 700 << 100;
    }
    void handshakeFails() {
        QFETCH(int, boxOpenMs);
        QFETCH(int, interval);
        PanelSim::Config silent;
        silent.silent = true;
        LanBench b(silent);
        TMainKestromForm* f = b.f;
        f->Timer1->setInterval(interval);
        SetTickClockForTest(0, 10); // the 1500 ms answer waits pass in 150 ms
        QStringList boxes;
        int depth = 0, deepest = 0, attemptsDuringBox = 0;
        BoxesBackToRecorder restore{b};
        Platform::SetMessageBoxHandler([&](const Platform::BoxRecord& r) {
            boxes << r.text;
            deepest = qMax(deepest, ++depth);
            const int before = b.panel.connectionCount();
            if (boxOpenMs > 0) {
                // As a modal box does: the event loop runs while it is open.
                QEventLoop loop;
                QTimer::singleShot(boxOpenMs, &loop, &QEventLoop::quit);
                loop.exec();
            }
            attemptsDuringBox += b.panel.connectionCount() - before;
            --depth;
        });
        QElapsedTimer clock;
        clock.start();
        b.click();
        QTRY_VERIFY_WITH_TIMEOUT(b.panel.connectionCount() >= 3, 30000);
        const qint64 elapsed = clock.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(boxes.size() >= 2, Long);
        QVERIFY(boxes.size() >= 2);
        for (const QString& text : boxes)
            QCOMPARE(text, QStringLiteral("Панель не отвечает"));
        QCOMPARE(deepest, 1);
        QCOMPARE(attemptsDuringBox, 0);
        // Two waits of one interval (and, with the box open, its time) lie between the first
        // and the third connection.
        QVERIFY2(elapsed >= 2 * (interval + boxOpenMs) - 100, qPrintable(QString::number(elapsed)));
        QVERIFY(countBody(" Получен disconnect от панели.") >= 2);
        QCOMPARE(b.starts(), 0);
        QCOMPARE(f->URLLabel1->text(), QStringLiteral("Отмена подключения"));

        // The user cancels, possibly while a box is up or a tick is due: no further attempt.
        QTRY_VERIFY_WITH_TIMEOUT(depth == 0, Long);
        b.click();
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QVERIFY(!f->Timer1->isActive());
        QVERIFY(f->Observe().lanBox != TMainKestromForm::LANBox::OpenReconnectDue);
        QCOMPARE(f->ClientSocket->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(f->IPCombo->isEnabled() && f->ConnectTypeComboBox->isEnabled());
        QCOMPARE(b.starts(), 0);
    }

    // A panel that starts streaming the moment it is connected: the handshake collects at
    // most 64 KiB, does not hang, and the attempt fails cleanly.
    void streamDuringHandshake() {
        PanelSim::Config streaming;
        streaming.streamOnConnect = true;
        LanBench b(streaming);
        TMainKestromForm* f = b.f;
        SetTickClockForTest(0, 10);
        qsizetype largest = 0;
        QTimer probe;
        BoxesBackToRecorder restore{b};
        Platform::SetMessageBoxHandler([&](const Platform::BoxRecord& r) {
            b.fx.boxes.boxes << r;
            largest = qMax(largest, f->FVerInfo.size());
            if (f->URLLabel1->Tag != lsIdle)
                f->URLLabel1->Click(); // cancel from within the box
        });
        connect(&probe, &QTimer::timeout, this, [&] { largest = qMax(largest, f->FVerInfo.size()); });
        probe.start(5);
        b.click();
        QTRY_VERIFY_WITH_TIMEOUT(!b.fx.boxes.boxes.isEmpty(), Long);
        QCOMPARE(b.fx.boxes.texts().first(), QStringLiteral("Панель не отвечает"));
        QVERIFY2(b.panel.streamed() > DeviceHandshake::MaxLANAnswer,
                 qPrintable(QString::number(b.panel.streamed())));
        QVERIFY(largest <= DeviceHandshake::MaxLANAnswer);
        QVERIFY(largest > 0);
        QCOMPARE(f->URLLabel1->Tag, int(lsIdle));
        QVERIFY(!f->Timer1->isActive());
        QCOMPARE(b.starts(), 0);
    }

    void panelDataWithoutSetupProgram() {
        LanBench b(PanelSim::Config{}, "sink");
        TMainKestromForm* f = b.f;
        // The setup program starts but looks for the server on another port.
        qputenv("KESTROM_SETUP_PORT", QByteArray::number(FreeTcpPort()));
        b.click();
        QTRY_VERIFY_WITH_TIMEOUT(f->FSetupIsStarted && f->ServerSocket->isListening(), Long);
        const QByteArray packet("\x01\x02 alarm\xff", 10);
        b.panel.send(packet);
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(" Ошибка при ображении к оболочке"), Long);
        const QStringList log = bodies();
        const qsizetype at = log.indexOf(" PANEL->SETUP");
        QVERIFY(at >= 0);
        const QStringList dump = LogFormat::hexDumpLines(packet, int(packet.size()));
        QCOMPARE(log.mid(at + 1, dump.size() + 1).last(), QStringLiteral(" Ошибка при ображении к оболочке"));
        QCOMPARE(LogBody(LogLines().at(at + 1)), " " + dump.first());
        QCOMPARE(f->Label7->text(), QStringLiteral("Подключен")); // the connection itself goes on
    }

    void errorWhileAnotherChannelSelected() {
        LanBench b(PanelSim::Config{}, "sink", false);
        TMainKestromForm* f = b.f;
        b.click();
        f->ConnectTypeComboBox->setCurrentIndex(chCable); // before the refusal is reported
        QTRY_VERIFY_WITH_TIMEOUT(bodies().contains(" Соединение не по LAN"), Long);
        QCOMPARE(countPrefix(" Ошибка сокета"), 0);
        QVERIFY(b.fx.boxes.boxes.isEmpty());
        QCOMPARE(f->Label7->text(), QStringLiteral("Идет подключение"));
        QCOMPARE(f->URLLabel1->Tag, int(lsConnecting));
        QVERIFY(!f->Timer1->isActive());
    }

    // A setup program that stops reading: the wizard's queue towards it stays near the
    // limit instead of taking in all the panel sends, and once it reads again every byte
    // arrives, in order.
    void slowSetupProgramHoldsThePanelBack() {
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        LOGForm->hide(); // megabytes of hex dump are not the point here
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        QVERIFY(b.setupPid > 0);
        QCOMPARE(::kill(b.setupPid, SIGSTOP), 0);
        QByteArray payload(12 << 20, '\0');
        for (qsizetype i = 0; i < payload.size(); ++i)
            payload[i] = char((i * 7 + i / 4096) & 0xff);
        b.panel.send(payload);
        QTRY_VERIFY_WITH_TIMEOUT(f->Observe().relayHoldsDevice, Long);
        QAbstractSocket* setup = f->ServerConnections().first();
        QVERIFY2(setup->bytesToWrite() <= TMainKestromForm::LANQueueLimit + (1 << 20),
                 qPrintable(QString::number(setup->bytesToWrite())));
        QCOMPARE(::kill(b.setupPid, SIGCONT), 0);
        QTRY_COMPARE_WITH_TIMEOUT(b.panel.deviceData().size(), payload.size(), 60000);
        QVERIFY(b.panel.deviceData() == payload);
    }

    // A restarted setup program while the panel holds the relay back: the new connection's
    // bytes reach the panel only after every byte of the one that ended cleanly. Restarted
    // twice, the old connection's end is found by the read that takes the next one's first
    // piece; the piece must reach the panel before anything more is read.
    void restartedSetupProgramWaitsForThePreviousOne_data() {
        QTest::addColumn<bool>("twice");
        QTest::newRow("restarted once") << false;
        QTest::newRow("restarted twice") << true;
    }
    void restartedSetupProgramWaitsForThePreviousOne() {
        QFETCH(bool, twice);
        LanBench b(PanelSim::Config{});
        TMainKestromForm* f = b.f;
        LOGForm->hide(); // megabytes of hex dump are not the point here
        QVERIFY2(b.connectSession(), qPrintable(bodies().join('\n')));
        b.panel.holdReading(true);
        const quint16 port = quint16(TCPServerSettingsForm->PortEdit->text().toUInt());
        auto pattern = [](qsizetype size, int seed) {
            QByteArray bytes(size, Qt::Uninitialized);
            for (qsizetype i = 0; i < size; ++i)
                bytes[i] = char((i * seed + i / 4093) & 0xff);
            return bytes;
        };
        // Far more than the panel's connection and the kernel hold between them.
        const QByteArray first = pattern(16 << 20, 7);
        const QByteArray second = pattern(256 << 10, 13);
        QTcpSocket earlier;
        earlier.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(earlier.waitForConnected(Long));
        earlier.write(first);
        QTRY_VERIFY_WITH_TIMEOUT(f->Observe().relayHoldsSetup, Long);
        earlier.disconnectFromHost(); // ends cleanly once Qt has handed over every byte
        QTcpSocket later;
        later.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(later.waitForConnected(Long));
        later.write(second);
        QTRY_VERIFY_WITH_TIMEOUT(later.bytesToWrite() == 0 && f->ServerConnectionCount() == 3, Long);
        QTcpSocket latest;
        const QByteArray third = twice ? pattern(64 << 10, 29) : QByteArray();
        if (twice) {
            latest.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(latest.waitForConnected(Long));
            latest.write(third);
            QTRY_VERIFY_WITH_TIMEOUT(latest.bytesToWrite() == 0 && f->ServerConnectionCount() == 4, Long);
        }
        b.panel.holdReading(false);
        const QByteArray all = first + second + third;
        QTRY_VERIFY_WITH_TIMEOUT(b.panel.deviceData().size() >= all.size(), 60000);
        QCOMPARE(b.panel.deviceData().size(), all.size());
        QVERIFY(b.panel.deviceData() == all);
        QVERIFY(earlier.state() == QAbstractSocket::UnconnectedState);
    }
};

QTEST_MAIN(TestLANChannel)
#include "tst_lanchannel.moc"
