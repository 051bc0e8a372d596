// The soak in a few seconds: every relay carries random streams both ways while the
// setup program dies, the port is pulled, the panel drops
// and the modem's far end hangs up; scripts/soak runs it long.
#include "Soak.h"
#include "StreamCheck.h"

#include <QtTest>

namespace {
// Connection n's stream.
Pattern streamOf(int n) {
    return Pattern(quint64(1000 + n));
}
QByteArray bytesOf(int n, qint64 from, qint64 to) {
    QByteArray b(int(to - from), '\0');
    streamOf(n).fill(b.data(), from, to - from);
    return b;
}
// The first offset from 1000 on where connection 1's byte equals connection 2's first.
qint64 coincidence() {
    const char first = bytesOf(2, 0, 1).at(0);
    qint64 at = 1000;
    while (bytesOf(1, at, at + 1).at(0) != first)
        ++at;
    return at;
}
qint64 offsetOf(const QString& text, qint64 cut) {
    return text.startsWith(QLatin1String("cut")) ? cut + text.mid(3).toLongLong() : text.toLongLong();
}
} // namespace

class TestSoak : public QObject {
    Q_OBJECT
  private slots:
    // The check of the setup program's bytes at the panel. A reset connection delivers a
    // prefix of its bytes (what its kernel had sent before the reset; the rest is discarded
    // with it), then the next connection's from its first byte; anything else is a fault.
    // Script: "add n", "close <sent> reset|clean", "feed n from to [+ n from to ...]" (one
    // piece), "settle"; "cut" is where connection 1's byte equals connection 2's first.
    void streamCheck_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("error"); // the start of the failure; empty: passes
        QTest::addColumn<qint64>("lost");
        QTest::newRow("reset, its tail lost")
            << "add 1; feed 1 0 1000; close 1500 reset; add 2; feed 2 0 400; settle"
            << "" << qint64(500);
        QTest::newRow("reset, the next one's first byte equals its next")
            << "add 1; feed 1 0 cut; close cut+500 reset; add 2; feed 2 0 400; settle"
            << "" << qint64(500);
        QTest::newRow("the same, in one piece with its last bytes")
            << "add 1; feed 1 0 1000; close cut+500 reset; add 2; feed 1 1000 cut + 2 0 400; settle"
            << "" << qint64(500);
        QTest::newRow("reset, nothing lost")
            << "add 1; feed 1 0 1000; close 1500 reset; add 2; feed 1 1000 1500 + 2 0 400; settle"
            << "" << qint64(0);
        QTest::newRow("reset, a middle piece lost")
            << "add 1; feed 1 0 1000; close 1500 reset; add 2; feed 1 1100 1200 + 2 0 400; settle"
            << "after the reset of connection 1 the panel got bytes of neither" << qint64(-1);
        QTest::newRow("reset, the next one's bytes amid its last")
            << "add 1; feed 1 0 1000; close 1500 reset; add 2; feed 2 0 100 + 1 1000 1200 + 2 100 400; settle"
            << "after the reset of connection 1 the panel got bytes of neither" << qint64(-1);
        QTest::newRow("reset, the next one's start lost")
            << "add 1; feed 1 0 1000; close 1500 reset; add 2; feed 2 10 400; settle"
            << "after the reset of connection 1 the panel got bytes of neither" << qint64(-1);
        QTest::newRow("clean end, its tail lost")
            << "add 1; feed 1 0 1000; close 1500 clean; add 2; feed 2 0 400; settle"
            << "connection 1 of the setup program ended cleanly" << qint64(-1);
    }
    void streamCheck() {
        QFETCH(QString, script);
        QFETCH(QString, error);
        QFETCH(qint64, lost);
        const qint64 cut = coincidence();
        SegmentVerifier v;
        for (const QString& command : script.split(QLatin1Char(';'))) {
            const QStringList w = command.simplified().split(QLatin1Char(' '));
            if (w[0] == QLatin1String("add")) {
                v.add(streamOf(w[1].toInt()));
            } else if (w[0] == QLatin1String("close")) {
                v.close(offsetOf(w[1], cut), w[2] == QLatin1String("reset"));
            } else if (w[0] == QLatin1String("feed")) {
                QByteArray piece;
                for (qsizetype i = 1; i + 2 < w.size(); i += 4)
                    piece += bytesOf(w[i].toInt(), offsetOf(w[i + 1], cut), offsetOf(w[i + 2], cut));
                v.feed(piece.constData(), piece.size());
            } else {
                v.settle();
            }
        }
        if (error.isEmpty()) {
            QVERIFY2(v.error().isEmpty(), qPrintable(v.error()));
            QCOMPARE(v.lost(), lost);
            QVERIFY(v.currentIsLatest());
            QCOMPARE(v.latestDelivered(), qint64(400));
        } else {
            QVERIFY2(v.error().startsWith(error), qPrintable(v.error()));
        }
    }

    void shortSoak_data() {
        QTest::addColumn<QString>("channel");
        QTest::newRow("cable") << QStringLiteral("cable");
        QTest::newRow("lan") << QStringLiteral("lan");
        QTest::newRow("modem") << QStringLiteral("modem");
    }
    void shortSoak() {
        QFETCH(QString, channel);
        SoakOptions o;
        o.channels = {channel};
        o.bulkBytes = 4 * 1024 * 1024;
        o.setupRestarts = 4;
        o.unplugCycles = 2;
        o.lanDrops = 10;
        o.modemHangups = 2;
        o.logToggleMs = 300;
        // A few MiB leave too little run after the warm-up to judge a leak of 5 MiB.
        o.rssGrowthLimit = 64ll * 1024 * 1024;
        const QList<SoakCheck> checks = RunSoak(o);
        QVERIFY(!checks.isEmpty());
        for (const SoakCheck& c : checks)
            QVERIFY2(c.passed, qPrintable(c.name + QStringLiteral(": ") + c.detail));
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
