// The soak in a few seconds: every relay carries random streams both ways while the
// setup program dies, the port is pulled, the panel drops
// and the modem's far end hangs up; scripts/soak runs it long.
#include "Soak.h"

#include <QtTest>

class TestSoak : public QObject {
    Q_OBJECT
  private slots:
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
