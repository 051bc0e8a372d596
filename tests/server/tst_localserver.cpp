// The local server the setup program connects to.
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
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
        // Loopback only: the panel must not be reachable from the network through us.
        QCOMPARE(f->ServerSocket->serverAddress(), QHostAddress(QHostAddress::LocalHost));
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
        QVERIFY(f->FSetupConnected);
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
        // One flag for all connections: the second leaving clears it.
        second.disconnectFromHost();
        QTRY_VERIFY((f->StageSetupPacket(), !f->FSetupConnected));
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
                staged += QByteArray(f->FSetupBuffer, f->FReadSocket);
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
        // when the panel's socket is not connected.
        f->ConnectTypeComboBox->setCurrentIndex(chIP);
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        QVERIFY(f->StartServer());
        QTcpSocket setup;
        connectClient(setup, f->ServerPort());
        setup.write("\x02\x0a\xff", 3);
        QTRY_VERIFY(logHas(" SETUP->PANEL"));
        QTRY_VERIFY(logHas("  02 0A FF"));
        QCOMPARE(f->SetupBytesWaiting(), 0);
        QCOMPARE(f->FReadSocket, 0);
    }
};

QTEST_MAIN(TestLocalServer)
#include "tst_localserver.moc"
