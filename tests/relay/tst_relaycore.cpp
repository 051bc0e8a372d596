// The relay's rules, independent of any channel: the setup program's connections are real
// TCP connections on 127.0.0.1 (accepted unbuffered, as the wizard does); the device is an
// end whose backlog the test sets.
#include "relay/RelayCore.h"
#include "server/SetupServer.h"

#include <QAbstractSocket>
#include <QTcpSocket>
#include <QtTest>
#include <memory>

namespace {
// The device: takes everything, remembers it, and reports as much kept as the test says.
struct DeviceEnd : RelayEnd {
    QByteArray written;
    qint64 kept = 0;
    bool refuses = false; // a port gone: every write fails
    qint64 read(char*, qint64) override { return 0; }
    qint64 write(const char* data, qint64 size) override {
        if (refuses)
            return -1;
        written.append(data, size);
        return size;
    }
    qint64 queued() const override { return kept; }
    bool inputPending() const override { return false; }
    void drain() {
        kept = 0;
        emit drained();
    }
};

// The setup program's side: connections to a server whose accepted sockets the core takes.
struct Setup {
    SetupServer server;
    RelayCore core;
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    Setup() { server.listen(QHostAddress::LocalHost, 0); }
    QTcpSocket* connectOne() {
        clients.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket* c = clients.back().get();
        const int before = core.SetupCount();
        c->connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!c->waitForConnected(3000) || !QTest::qWaitFor([&] { return takePending() > before; }, 3000))
            return nullptr;
        c->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        return c;
    }
    int takePending() {
        while (QAbstractSocket* s = server.NextPendingSocket())
            core.AddSetup(s);
        return core.SetupCount();
    }
    // What the core gives the device now, piece by piece, until it gives nothing. Small
    // pieces: a connection's bytes take many reads.
    void pump(DeviceEnd& device) {
        char buffer[4096];
        for (qint64 n; (n = core.ReadSetup(buffer, sizeof buffer)) > 0;)
            device.write(buffer, n);
    }
};

QByteArray bytes(qsizetype size, char seed) {
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char(seed + i % 7);
    return b;
}
} // namespace

class TestRelayCore : public QObject {
    Q_OBJECT
  private slots:
    // A restarted setup program connects before its old connection is read to the end; the
    // new one's bytes must not reach the device amid the old one's.
    void connectionsInOrder_data() {
        QTest::addColumn<qsizetype>("earlierBytes");
        QTest::addColumn<QString>("earlierEnds"); // "stays", "closes", "resets"
        QTest::newRow("earlier still open, its bytes first") << qsizetype(4000) << "stays";
        QTest::newRow("earlier closed cleanly, all of it first") << qsizetype(48 << 10) << "closes";
        QTest::newRow("earlier idle, later at once") << qsizetype(0) << "stays";
        QTest::newRow("earlier reset, never after the later") << qsizetype(48 << 10) << "resets";
    }
    void connectionsInOrder() {
        QFETCH(qsizetype, earlierBytes);
        QFETCH(QString, earlierEnds);
        Setup setup;
        DeviceEnd device;
        setup.core.SetDevice(&device);
        QTcpSocket* earlier = setup.connectOne();
        QTcpSocket* later = setup.connectOne();
        QVERIFY(earlier && later);
        const QByteArray first = bytes(earlierBytes, 'a'), second = bytes(5000, 'A');
        // Both programs' bytes are with the kernel before the relay looks, as when the old
        // program has ended.
        earlier->write(first);
        QTRY_COMPARE(earlier->bytesToWrite(), 0);
        if (earlierEnds == "closes")
            earlier->disconnectFromHost();
        else if (earlierEnds == "resets")
            earlier->abort();
        later->write(second);
        QTRY_COMPARE(later->bytesToWrite(), 0);
        QTRY_VERIFY_WITH_TIMEOUT((setup.pump(device), device.written.endsWith(second)), 10000);
        if (earlierEnds == "resets") {
            // What the reset destroyed is lost; nothing of it comes after the later's bytes.
            QCOMPARE(device.written.indexOf(second), device.written.size() - second.size());
            QVERIFY(first.startsWith(device.written.left(device.written.size() - second.size())));
        } else {
            QCOMPARE(device.written, first + second);
        }
    }

    // The setup program is read only while the device has room; it is told when it has
    // room again.
    void towardTheDeviceBounded_data() {
        QTest::addColumn<qint64>("kept");
        QTest::addColumn<qint64>("taken");
        QTest::newRow("room for all") << qint64(0) << qint64(100);
        QTest::newRow("room for part") << qint64(950) << qint64(50);
        QTest::newRow("full") << qint64(1000) << qint64(0);
        QTest::newRow("past the limit") << qint64(5000) << qint64(0);
    }
    void towardTheDeviceBounded() {
        QFETCH(qint64, kept);
        QFETCH(qint64, taken);
        Setup setup;
        setup.core.SetLimits({1000, 1 << 20, RelayCore::Overflow::HoldDevice});
        DeviceEnd device;
        device.kept = kept;
        setup.core.SetDevice(&device);
        QTcpSocket* c = setup.connectOne();
        QVERIFY(c);
        c->write(bytes(100, 'x'));
        c->flush();
        QSignalSpy room(&setup.core, &RelayCore::deviceRoom);
        char buffer[4096];
        qint64 n = 0;
        QTRY_VERIFY((n += setup.core.ReadSetup(buffer, sizeof buffer)) > 0 || setup.core.SetupHeld());
        QCOMPARE(n, taken);
        QCOMPARE(setup.core.SetupHeld(), taken == 0);
        device.drain();
        QCOMPARE(room.size(), taken == 0 ? 1 : 0);
        QCOMPARE(setup.core.SetupHeld(), false);
        if (taken == 0)
            QTRY_COMPARE((n += setup.core.ReadSetup(buffer, sizeof buffer)), qint64(100));
    }

    // Toward a setup program that stops reading: a serial device's bytes are dropped past
    // the limit and the loss is reported once it reads again; a panel on TCP is held.
    void towardTheSetupProgram_data() {
        QTest::addColumn<int>("overflow");
        QTest::newRow("drop and count") << int(RelayCore::Overflow::Drop);
        QTest::newRow("hold the device") << int(RelayCore::Overflow::HoldDevice);
    }
    void towardTheSetupProgram() {
        QFETCH(int, overflow);
        const bool drop = overflow == int(RelayCore::Overflow::Drop);
        Setup setup;
        constexpr qint64 Limit = 64 * 1024;
        setup.core.SetLimits({Limit, Limit, RelayCore::Overflow(overflow)});
        QCOMPARE(setup.core.ToSetup("x", 1).delivery, RelayCore::Delivery::NoSetup);
        setup.core.StartConnection(setup.core.limits()); // that loss is not this test's
        QTcpSocket* c = setup.connectOne();
        QVERIFY(c);
        c->setReadBufferSize(1); // the setup program takes nothing until told
        QSignalSpy room(&setup.core, &RelayCore::setupRoom);
        // Pieces until the kernel is full and the connection keeps more than the limit.
        const QByteArray piece = bytes(16 * 1024, 'p');
        QByteArray sent;
        QList<bool> seen; // the lost pieces: whether each began the loss
        for (int i = 0; i < 4096 && (drop ? seen.size() < 3 : setup.core.SetupHasRoom()); ++i) {
            const RelayCore::Fate f = setup.core.ToSetup(piece.constData(), piece.size());
            if (f.delivery == RelayCore::Delivery::Sent) {
                sent += piece;
            } else {
                QCOMPARE(f.delivery, RelayCore::Delivery::Lost);
                seen.append(f.lossBegins);
            }
        }
        if (drop) {
            QCOMPARE(seen, (QList<bool>{true, false, false}));
            QCOMPARE(setup.core.LostBytes(), 3 * piece.size());
        } else {
            QVERIFY(setup.core.DeviceHeld());
        }
        // The setup program reads again.
        c->setReadBufferSize(0);
        QByteArray received;
        connect(c, &QTcpSocket::readyRead, c, [&] { received += c->readAll(); });
        QTRY_VERIFY_WITH_TIMEOUT(received.size() >= sent.size(), 10000);
        QCOMPARE(received, sent);
        if (drop) {
            const RelayCore::Fate f = setup.core.ToSetup(piece.constData(), piece.size());
            QCOMPARE(f.delivery, RelayCore::Delivery::Sent);
            QCOMPARE(f.lostBefore, 3 * piece.size());
            QCOMPARE(setup.core.LostBytes(), 0);
        } else {
            QCOMPARE(room.size(), 1);
            QVERIFY(!setup.core.DeviceHeld() && setup.core.SetupHasRoom());
        }
    }

    // Each way, a piece with nowhere to go is lost and counted; the first of a loss says
    // so, and the next piece that goes carries the loss's count. A device that refuses a
    // piece is gone: that is its channel's failure, not a loss counted here.
    void pieceFates_data() {
        QTest::addColumn<bool>("toSetup");
        QTest::addColumn<int>("missing");          // what is missing at first
        QTest::addColumn<bool>("reconnectMidway"); // the device comes back (Reset) meanwhile
        QTest::newRow("no setup program") << true << int(RelayCore::Delivery::NoSetup) << false;
        QTest::newRow("no device") << false << int(RelayCore::Delivery::NoDevice) << false;
        QTest::newRow("no device, reconnected meanwhile")
            << false << int(RelayCore::Delivery::NoDevice) << true;
        QTest::newRow("device refuses") << false << int(RelayCore::Delivery::Failed) << false;
    }
    void pieceFates() {
        QFETCH(bool, toSetup);
        QFETCH(int, missing);
        QFETCH(bool, reconnectMidway);
        Setup setup;
        DeviceEnd device;
        device.refuses = missing == int(RelayCore::Delivery::Failed);
        if (device.refuses)
            setup.core.SetDevice(&device);
        QTcpSocket* c = nullptr;
        if (!toSetup)
            QVERIFY((c = setup.connectOne()));
        auto pass = [&](const QByteArray& piece) {
            return toSetup ? setup.core.ToSetup(piece.constData(), piece.size())
                           : setup.core.ToDevice(piece.constData(), piece.size());
        };
        const RelayCore::Fate first = pass("abc");
        QCOMPARE(int(first.delivery), missing);
        if (reconnectMidway)
            setup.core.Reset();
        const RelayCore::Fate second = pass("defg");
        QCOMPARE(int(second.delivery), missing);
        const bool counted = missing != int(RelayCore::Delivery::Failed);
        QCOMPARE(first.lossBegins, counted);
        QVERIFY(!second.lossBegins);
        // The missing side is there now.
        if (toSetup)
            QVERIFY((c = setup.connectOne()));
        device.refuses = false;
        setup.core.SetDevice(&device);
        const RelayCore::Fate next = pass("hi");
        QCOMPARE(next.delivery, RelayCore::Delivery::Sent);
        QCOMPARE(next.lostBefore, counted ? 7 : 0);
        QCOMPARE(pass("j").lostBefore, 0); // the count starts again
        QByteArray received;
        if (toSetup)
            QTRY_COMPARE((received += c->readAll()), QByteArray("hij"));
        else
            QCOMPARE(device.written, QByteArray("hij"));
        // A new connection forgets a loss still open.
        setup.core.SetDevice(nullptr);
        setup.core.RemoveSetup(setup.core.FirstSetup());
        pass("k");
        setup.core.StartConnection(setup.core.limits());
        QVERIFY(pass("l").lossBegins);
    }

    // The form's "setup program connected" follows this count.
    void setupCountReported() {
        Setup setup;
        QSignalSpy counts(&setup.core, &RelayCore::setupCountChanged);
        QVERIFY(setup.connectOne());
        QVERIFY(setup.connectOne());
        setup.core.RemoveSetup(setup.core.FirstSetup());
        QVERIFY(setup.connectOne());
        setup.core.DropSetup();
        QList<int> seen;
        for (const QList<QVariant>& args : counts)
            seen.append(args.at(0).toInt());
        QCOMPARE(seen, (QList<int>{1, 2, 1, 2, 0}));
    }

    // The device held for a setup program that then went away goes on with the next one.
    void heldDeviceGoesOnWhenTheFirstConnectionEnds() {
        Setup setup;
        setup.core.SetLimits({1 << 20, 16 * 1024, RelayCore::Overflow::HoldDevice});
        QTcpSocket* old = setup.connectOne();
        QTcpSocket* next = setup.connectOne();
        QVERIFY(old && next);
        old->setReadBufferSize(1);
        const QByteArray piece = bytes(64 * 1024, 'q');
        for (int i = 0; i < 4096 && setup.core.SetupHasRoom(); ++i)
            setup.core.ToSetup(piece.constData(), piece.size());
        QVERIFY(setup.core.DeviceHeld());
        QSignalSpy room(&setup.core, &RelayCore::setupRoom);
        setup.core.RemoveSetup(setup.core.FirstSetup());
        QCOMPARE(room.size(), 1);
        QVERIFY(setup.core.SetupHasRoom());
    }
};

QTEST_MAIN(TestRelayCore)
#include "tst_relaycore.moc"
