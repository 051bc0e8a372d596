// The local server the setup program connects to.
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "server/PeerOwner.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {
bool logHas(const QString& body) {
    const QStringList lines = LogLines();
    return std::any_of(lines.begin(), lines.end(), [&](const QString& l) { return LogBody(l) == body; });
}

void connectClient(QTcpSocket& client, quint16 port) {
    client.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(client.waitForConnected(3000));
}
} // namespace

class TestLocalServer : public QObject {
    Q_OBJECT
    std::unique_ptr<FormsFixture> fx;
    TMainKestromForm* f = nullptr;

  private slots:
    void init() {
        fx = std::make_unique<FormsFixture>();
        fx->Create();
        LOGForm->show();
        f = MainKestromForm;
        f->ConnectTypeComboBox->setCurrentIndex(chCable);
    }
    void cleanup() {
        f->StopServer();
        fx.reset();
    }

    void portRules_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("usesDefault");
        QTest::newRow("below 1024") << "1023" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("letters") << "abc" << true;
        QTest::newRow("above 65535") << "65536" << true;
        QTest::newRow("negative") << "-5" << true;
        QTest::newRow("a free port is kept") << "free" << false;
    }
    void portRules() {
        QFETCH(QString, text);
        QFETCH(bool, usesDefault);
        const QString port = text == "free" ? QString::number(FreeTcpPort()) : text;
        TCPServerSettingsForm->PortEdit->setText(port);
        QTcpServer squatter; // 53462 may be in use on this machine; the rule is what counts
        const bool defaultFree = squatter.listen(QHostAddress::LocalHost, 53462);
        squatter.close();
        const bool ok = f->StartServer();
        QCOMPARE(TCPServerSettingsForm->PortEdit->text(), usesDefault ? QStringLiteral("53462") : port);
        if (usesDefault && !defaultFree)
            QSKIP("port 53462 is taken on this machine");
        QVERIFY(ok);
        QCOMPARE(f->ServerPort(), TCPServerSettingsForm->PortEdit->text().toUShort());
        // Loopback only: the panel must not be reachable from the network through us. Both
        // loopback addresses: "localhost" may be ::1 first for the setup program.
        QCOMPARE(f->ServerSocket->serverAddresses(),
                 (QList<QHostAddress>{QHostAddress(QHostAddress::LocalHost),
                                      QHostAddress(QHostAddress::LocalHostIPv6)}));
    }

    // A relayed piece's fate and its log line: the same rules on every channel, the texts
    // of the panel's socket and of the serial relay where each has its own.
    void fateLines_data() {
        using D = RelayCore::Delivery;
        QTest::addColumn<bool>("lan");
        QTest::addColumn<bool>("toSetup");
        QTest::addColumn<int>("delivery");
        QTest::addColumn<bool>("lossBegins");
        QTest::addColumn<qint64>("lostBefore");
        QTest::addColumn<QString>("line"); // empty: none
        const QString ended = "Соединение было прервано, последний пакет не доставлен";
        for (const bool lan : {false, true}) {
            const char* ch = lan ? "LAN, " : "serial, ";
            auto row = [&](const char* name) { return &QTest::newRow((QByteArray(ch) + name).constData()); };
            *row("sent") << lan << true << int(D::Sent) << false << qint64(0) << QString();
            *row("held") << lan << true << int(D::Held) << false << qint64(0) << QString();
            *row("refused by the device")
                << lan << false << int(D::Failed) << false << qint64(0) << QString();
            *row("ended, to the device") << lan << false << int(D::Ended) << false << qint64(0) << ended;
            *row("ended, to the setup program")
                << lan << true << int(D::Ended) << false << qint64(0) << ended;
            *row("setup program overflows") << lan << true << int(D::Lost) << true << qint64(0)
                                            << "Оболочка не принимает данные, данные прибора теряются";
            *row("overflow goes on") << lan << true << int(D::Lost) << false << qint64(0) << QString();
            *row("setup program takes again") << lan << true << int(D::Sent) << false << qint64(42)
                                              << "Оболочка снова принимает данные, потеряно байт: 42";
            *row("no device") << lan << false << int(D::NoDevice) << true << qint64(0)
                              << "Прибор не подключен, данные оболочки теряются";
            *row("no device goes on") << lan << false << int(D::NoDevice) << false << qint64(0) << QString();
            *row("device takes again") << lan << false << int(D::Sent) << false << qint64(7)
                                       << "Прибор снова принимает данные, потеряно байт: 7";
            *row("no setup program") << lan << true << int(D::NoSetup) << true << qint64(0)
                                     << (lan ? "Ошибка при ображении к оболочке"
                                             : "Оболочка не подключена, данные прибора теряются");
            *row("no setup program goes on") << lan << true << int(D::NoSetup) << false << qint64(0)
                                             << (lan ? "Ошибка при ображении к оболочке" : QString());
        }
    }
    void fateLines() {
        QFETCH(bool, lan);
        QFETCH(bool, toSetup);
        QFETCH(int, delivery);
        QFETCH(bool, lossBegins);
        QFETCH(qint64, lostBefore);
        QFETCH(QString, line);
        f->UseRelayChannel(lan ? TMainKestromForm::RelayChannel::LAN
                               : TMainKestromForm::RelayChannel::Serial);
        const qsizetype before = LogLines().size();
        f->LogFate(toSetup ? RelayCore::Direction::ToSetup : RelayCore::Direction::ToDevice,
                   {RelayCore::Delivery(delivery), lossBegins, lostBefore});
        const QStringList added = LogLines().mid(before);
        QCOMPARE(added.size(), line.isEmpty() ? 0 : 1);
        if (!line.isEmpty())
            QCOMPARE(LogBody(added.first()), " " + line);
        f->UseRelayChannel(TMainKestromForm::RelayChannel::Serial);
    }

    void connectAndDisconnectAreLogged() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        QTRY_VERIFY(f->FSetupConnected);
        QVERIFY(logHas(" Оболочка подключилась к мосту."));

        f->StringToBuffer("hello");
        f->SendToSetup(5);
        QTRY_COMPARE(setup.bytesAvailable(), 5);
        QCOMPARE(setup.readAll(), QByteArray("hello"));

        setup.disconnectFromHost();
        // On a serial channel the relay pass reads the connection, and that read finds
        // the close; here the test takes the pass's part.
        QTRY_VERIFY((f->StageSetupPacket(), !f->FSetupConnected));
        QVERIFY(logHas(" Оболочка отклчилась от моста."));
        f->SendToSetup(5); // nothing to send to, nothing happens
    }

    void stopServerRaisesNoDisconnect() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        QTRY_VERIFY(f->FSetupConnected);
        f->StopServer();
        QVERIFY(!f->ServerSocket->isListening());
        QVERIFY(!f->FSetupConnected); // it follows the list of connections, dropped here
        QVERIFY(!logHas(" Оболочка отклчилась от моста."));
        QTRY_COMPARE(setup.state(), QAbstractSocket::UnconnectedState);
        f->StringToBuffer("x");
        f->SendToSetup(1); // finds no connection and says nothing
    }

    void firstClientGetsTheBytes() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket first, second;
        connectClient(first, f->ServerPort());
        QTRY_COMPARE(f->ServerConnectionCount(), 1);
        connectClient(second, f->ServerPort());
        QTRY_COMPARE(f->ServerConnectionCount(), 2);
        f->StringToBuffer("abc");
        f->SendToSetup(3);
        QTRY_COMPARE(first.bytesAvailable(), 3);
        QTest::qWait(50);
        QCOMPARE(second.bytesAvailable(), 0);
        // The second leaving leaves the first: the device's bytes still go to it.
        second.disconnectFromHost();
        QTRY_VERIFY((f->StageSetupPacket(), f->ServerConnectionCount() == 1));
        QVERIFY(f->FSetupConnected);
        f->StringToBuffer("def");
        f->SendToSetup(3);
        QTRY_COMPARE(first.bytesAvailable(), 6);
        QCOMPARE(first.readAll(), QByteArray("abcdef"));
        first.disconnectFromHost();
        QTRY_VERIFY((f->StageSetupPacket(), !f->FSetupConnected));
    }

    // A setup program that reconnects before its old connection's close is seen: the old
    // one's close leaves the new one served.
    void reconnectBeforeTheOldCloseIsSeen() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        auto old = std::make_unique<QTcpSocket>();
        connectClient(*old, f->ServerPort());
        QTRY_COMPARE(f->ServerConnectionCount(), 1);
        QTcpSocket fresh;
        connectClient(fresh, f->ServerPort());
        QTRY_COMPARE(f->ServerConnectionCount(), 2);
        old->abort();
        old.reset();
        QTRY_VERIFY((f->StageSetupPacket(), f->ServerConnectionCount() == 1));
        QVERIFY(logHas(" Оболочка отклчилась от моста."));
        f->StringToBuffer("panel");
        f->SendToSetup(5);
        QTRY_COMPARE(fresh.bytesAvailable(), 5);
        QCOMPARE(fresh.readAll(), QByteArray("panel"));
    }

    // Between a stop and the next start within a connection the port stays ours: connects
    // are refused, nobody else binds it, and the next start serves on it again, even when
    // the dialog names another port meanwhile (that one is for the next connection).
    void portKeptBetweenStops_data() {
        QTest::addColumn<QString>("address");
        QTest::newRow("127.0.0.1") << "127.0.0.1";
        QTest::newRow("::1") << "::1";
    }
    void portKeptBetweenStops() {
        QFETCH(QString, address);
        const QHostAddress where(address);
        const quint16 port = FreeTcpPort();
        TCPServerSettingsForm->PortEdit->setText(QString::number(port));
        QVERIFY(f->StartServer());
        f->StopServer(TMainKestromForm::ServerStop::KeepPort);
        QVERIFY(!f->ServerSocket->isListening());
        QTcpSocket probe;
        probe.connectToHost(where, port);
        QVERIFY(!probe.waitForConnected(3000));
        QCOMPARE(probe.error(), QAbstractSocket::ConnectionRefusedError);
        QTcpServer squatter; // Qt's listener: SO_REUSEADDR, as most programs'
        QVERIFY(!squatter.listen(where, port));
        QVERIFY(!squatter.listen(QHostAddress::Any, port));

        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QCOMPARE(f->ServerPort(), port);
        QTcpSocket setup;
        setup.connectToHost(where, port);
        QVERIFY(setup.waitForConnected(3000));
        QTRY_VERIFY(f->FSetupConnected);
        f->StringToBuffer("again");
        f->SendToSetup(5);
        QTRY_COMPARE(setup.bytesAvailable(), 5);

        // At the connection's end the port is given back.
        f->StopServer();
        QVERIFY2(squatter.listen(where, port), qPrintable(squatter.errorString()));
    }

    // A program connecting to ::1 is served like one on 127.0.0.1, and its owner is found in
    // the kernel's IPv6 table.
    void ipv6LoopbackRelays() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        setup.connectToHost(QHostAddress::LocalHostIPv6, f->ServerPort());
        QVERIFY(setup.waitForConnected(3000));
        QTRY_VERIFY(f->FSetupConnected);
        QVERIFY(!logHas(" Подключение к мосту закрыто: не удалось определить, чья это программа."));
        const PeerOwner::Result r =
            PeerOwner::Check({QHostAddress(QHostAddress::LocalHostIPv6), f->ServerPort()},
                             {setup.localAddress(), setup.localPort()});
        QCOMPARE(int(r.verdict), int(PeerOwner::Verdict::Own));
        f->StringToBuffer("v6");
        f->SendToSetup(2);
        QTRY_COMPARE(setup.bytesAvailable(), 2);
        QCOMPARE(setup.readAll(), QByteArray("v6"));
        setup.write("up");
        QByteArray staged;
        const auto stageWhatCame = [&] {
            while (f->StageSetupPacket() > 0) {
                staged += f->Observe().stagedSetupPacket;
                f->FReadSocket = 0; // written
            }
            return staged == "up";
        };
        QTRY_VERIFY(stageWhatCame());
    }

    void packetsAreQueuedNotOverwritten() {
        // Two packets before the relay takes any: both wait, in order. They used to
        // overwrite each other in the one transfer buffer.
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        setup.write("first;");
        setup.flush();
        setup.write("second;");
        setup.flush();
        // More than one buffer: staged in pieces of at most 32768, nothing lost.
        QByteArray big;
        for (int i = 0; i < 100000; ++i)
            big += char(i * 7);
        setup.write(big);
        const QByteArray expected = "first;second;" + big;
        QCOMPARE(f->FReadSocket, 0); // nothing staged until the relay asks
        QByteArray staged;
        int largest = 0;
        const auto stageWhatCame = [&] {
            while (f->StageSetupPacket() > 0) {
                largest = qMax(largest, f->FReadSocket);
                staged += f->Observe().stagedSetupPacket;
                f->FReadSocket = 0; // written
            }
            return staged.size() >= expected.size();
        };
        QTRY_VERIFY(stageWhatCame());
        QVERIFY(largest <= 32768);
        QCOMPARE(staged, expected);
    }

    void lanChannelPassesBytesToThePanelSocket() {
        // On the IP channel a packet is logged as SETUP->PANEL with its dump and dropped
        // when the panel's socket is not connected, and the loss is logged.
        f->ConnectTypeComboBox->setCurrentIndex(chIP);
        f->UseRelayChannel(TMainKestromForm::RelayChannel::LAN); // as the connect click does
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        setup.write("\x02\x0a\xff", 3);
        QTRY_VERIFY(logHas(" SETUP->PANEL"));
        QTRY_VERIFY(logHas("  02 0A FF"));
        QTRY_VERIFY(logHas(" Прибор не подключен, данные оболочки теряются"));
        QCOMPARE(f->SetupBytesWaiting(), 0);
        QCOMPARE(f->FReadSocket, 0);
    }

    // The owner of a connection from the kernel's socket table. The client's own socket is
    // looked for: its local end is the client, its far end the server (127.0.0.1:53462).
    void peerOwnerFromSocketTable_data() {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("client"); // address:port of the client's end
        QTest::addColumn<int>("uid");        // -1: no socket found
        QTest::addColumn<bool>("ownerKnown");
        const QByteArray head =
            "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
            "timeout inode\n";
        // 127.0.0.1:50001 -> 127.0.0.1:53462, and the server's own end of it (uid 0).
        const QByteArray v4 =
            head + "   0: 0100007F:C351 0100007F:D0D6 01 00000000:00000000 00:00000000 00000000 65534 "
                   "       0 41234 1 0000000000000000 20 4 30 10 -1\n"
                   "   1: 0100007F:D0D6 0100007F:C351 01 00000000:00000000 00:00000000 00000000     0 "
                   "       0 41235 1 0000000000000000 20 4 30 10 -1\n";
        QTest::newRow("IPv4, another account") << v4 << "127.0.0.1:50001" << 65534 << true;
        QTest::newRow("IPv4, the server's own end is not the client's")
            << v4 << "127.0.0.1:53462" << -1 << false;
        QTest::newRow("IPv4, other port") << v4 << "127.0.0.1:50002" << -1 << false;
        QTest::newRow("IPv4, other address") << v4 << "127.0.0.2:50001" << -1 << false;
        // Closed by its program: the kernel's time-wait leftovers (FIN_WAIT2, TIME_WAIT) keep
        // no owner; a socket still sending its last bytes (FIN_WAIT1) keeps it.
        const auto closed = [&](const char* state, const char* uid) {
            return head + "   0: 0100007F:C351 0100007F:D0D6 " + state +
                   " 00000000:00000000 00:00000000 00000000 " + uid + " 0 0 3 0000000000000000\n";
        };
        QTest::newRow("closed, FIN_WAIT2 leftover") << closed("05", "0") << "127.0.0.1:50001" << 0 << false;
        QTest::newRow("closed, TIME_WAIT leftover") << closed("06", "0") << "127.0.0.1:50001" << 0 << false;
        QTest::newRow("closed, still sending") << closed("04", "1000") << "127.0.0.1:50001" << 1000 << true;
        QTest::newRow("IPv4-mapped IPv6 (tcp6)")
            << QByteArray(
                   "  sl  local_address                         remote_address                        st\n"
                   "   0: 0000000000000000FFFF00000100007F:C351 0000000000000000FFFF00000100007F:D0D6 01 "
                   "00000000:00000000 00:00000000 00000000  1000        0 777 1 0000000000000000 20 4\n")
            << "127.0.0.1:50001" << 1000 << true;
        // ::1:50001 -> ::1:53462 as /proc/net/tcp6 prints it (each word in host order).
        QTest::newRow("IPv6 loopback (tcp6)")
            << QByteArray(
                   "  sl  local_address                         remote_address                        st\n"
                   "   0: 00000000000000000000000001000000:C351 00000000000000000000000001000000:D0D6 01 "
                   "00000000:00000000 00:00000000 00000000  1000        0 778 1 0000000000000000 20 4\n")
            << "::1:50001" << 1000 << true;
        QTest::newRow("odd lines are skipped")
            << QByteArray("garbage\n\n   0: 0100007F:C351\n"
                          "   1: 0100007F:C3XX 0100007F:D0D6 01 0:0 0:0 0 1 0 9 1\n"
                          "   2: 7F:C351 0100007F:D0D6 01 0:0 0:0 0 1 0 9 1\n"
                          "   3: 0100007F:C351 0100007F:D0D6 01 0:0 0:0 0 x 0 9 1\n"
                          "   4: 0100007F:C351 0100007F:D0D6 01 0:0 0:0 0 42 0 9 1\n")
            << "127.0.0.1:50001" << 42 << true;
        QTest::newRow("empty table") << QByteArray() << "127.0.0.1:50001" << -1 << false;
    }
    void peerOwnerFromSocketTable() {
        QFETCH(QByteArray, table);
        QFETCH(QString, client);
        QFETCH(int, uid);
        QFETCH(bool, ownerKnown);
        const PeerOwner::Endpoint c{QHostAddress(client.section(':', 0, -2)),
                                    quint16(client.section(':', -1).toUInt())};
        const QHostAddress server(c.address.protocol() == QAbstractSocket::IPv6Protocol
                                      ? QHostAddress::LocalHostIPv6
                                      : QHostAddress::LocalHost);
        const std::optional<PeerOwner::Socket> found = PeerOwner::FindSocket(table, c, {server, 53462});
        QCOMPARE(found.has_value(), uid >= 0);
        if (found) {
            QCOMPARE(int(found->uid), uid);
            QCOMPARE(found->ownerKnown, ownerKnown);
        }
    }

    // This user's own program passes the owner check (a false refusal would cut the setup
    // program off), and the check's verdict is nothing the log has to mention.
    void ownConnectionPassesTheOwnerCheck() {
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        QTRY_COMPARE(f->ServerConnectionCount(), 1);
        const PeerOwner::Result r = PeerOwner::Check({QHostAddress(QHostAddress::LocalHost), f->ServerPort()},
                                                     {setup.localAddress(), setup.localPort()});
        QCOMPARE(int(r.verdict), int(PeerOwner::Verdict::Own));
        QVERIFY(!logHas(" Подключение к мосту закрыто: это программа другого пользователя (uid 0)."));
    }
};

QTEST_MAIN(TestLocalServer)
#include "tst_localserver.moc"
