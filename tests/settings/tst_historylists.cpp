// The list rules of the remembered histories, from tables of stored slots.
#include <QTest>

#include "settings/HistoryLists.h"

using namespace HistoryLists;

namespace {

// Slots written as "A,_,B": one entry per slot, "_" for a missing value, "" for none at all.
TextSlots texts(const QString& layout, int count) {
    TextSlots held(count);
    const QStringList parts = layout.isEmpty() ? QStringList() : layout.split(QLatin1Char(','));
    for (int i = 0; i < parts.size() && i < count; ++i)
        if (parts[i] != QLatin1String("_"))
            held[i] = parts[i];
    return held;
}

NumberSlots numbers(const QString& layout, int count) {
    NumberSlots held(count);
    const QStringList parts = layout.isEmpty() ? QStringList() : layout.split(QLatin1Char(','));
    for (int i = 0; i < parts.size() && i < count; ++i)
        if (parts[i] != QLatin1String("_"))
            held[i] = parts[i].toInt();
    return held;
}

QString show(const TextSlots& held) {
    QStringList parts;
    for (const auto& s : held)
        parts << (s ? *s : QStringLiteral("_"));
    return parts.join(QLatin1Char(','));
}

QString show(const NumberSlots& held) {
    QStringList parts;
    for (const auto& s : held)
        parts << (s ? QString::number(*s) : QStringLiteral("_"));
    return parts.join(QLatin1Char(','));
}

QStringList pairsOf(int from, int to) {
    QStringList pairs;
    for (int i = from; i <= to; ++i)
        pairs << QStringLiteral("10.1.1.%1:%2").arg(i).arg(4000 + i);
    return pairs;
}

} // namespace

class TestHistoryLists : public QObject {
    Q_OBJECT
  private slots:
    void phones_data();
    void phones();
    void addresses_data();
    void addresses();
    void ports_data();
    void ports();
    void portNumbers_data();
    void portNumbers();
    void pairAddresses_data();
    void pairAddresses();
    void pairs_data();
    void pairs();
    void pairOverflow();
    void portLookup_data();
    void portLookup();
};

void TestHistoryLists::phones_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("isNew");

    QTest::newRow("first number") << ""
                                  << "A"
                                  << "A,_,_,_,_,_,_,_" << true;
    QTest::newRow("new goes in front") << "B,A"
                                       << "C"
                                       << "C,B,A,_,_,_,_,_" << true;
    QTest::newRow("stored number keeps its place") << "C,B,A"
                                                   << "B"
                                                   << "C,B,A,_,_,_,_,_" << false;
    QTest::newRow("case counts") << "abc"
                                 << "ABC"
                                 << "ABC,abc,_,_,_,_,_,_" << true;
    QTest::newRow("blanks count (not trimmed)") << "123"
                                                << " 123"
                                                << " 123,123,_,_,_,_,_,_" << true;
    QTest::newRow("ninth pushes the oldest out") << "H,G,F,E,D,C,B,A"
                                                 << "I"
                                                 << "I,H,G,F,E,D,C,B" << true;
    QTest::newRow("full, stored number") << "H,G,F,E,D,C,B,A"
                                         << "A"
                                         << "H,G,F,E,D,C,B,A" << false;
    // The list is written back compacted; the slot past it is not rewritten and keeps B.
    QTest::newRow("gap closed, old value stays above") << "A,_,B"
                                                       << "A"
                                                       << "A,B,B,_,_,_,_,_" << false;
    QTest::newRow("only phone8 stored") << "_,_,_,_,_,_,_,Z"
                                        << "X"
                                        << "X,Z,_,_,_,_,_,Z" << true;
}

void TestHistoryLists::phones() {
    QFETCH(QString, before);
    QFETCH(QString, phone);
    QFETCH(QString, after);
    QFETCH(bool, isNew);
    const TextUpdate update = savePhone(texts(before, PhoneSlots), phone);
    QCOMPARE(show(update.after), after);
    QCOMPARE(update.isNew, isNew);
}

void TestHistoryLists::addresses_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("isNew");

    QTest::newRow("first address") << ""
                                   << "10.0.0.1"
                                   << "10.0.0.1,_,_,_,_,_,_,_,_" << true;
    QTest::newRow("new goes in front") << "10.0.0.1"
                                       << "10.0.0.2"
                                       << "10.0.0.2,10.0.0.1,_,_,_,_,_,_,_" << true;
    // Unlike the phone list, a known address writes nothing: the gap stays.
    QTest::newRow("known address moves nothing") << "A,_,B"
                                                 << "B"
                                                 << "A,_,B,_,_,_,_,_,_" << false;
    QTest::newRow("exact text, not containment") << "10.0.0.12"
                                                 << "10.0.0.1"
                                                 << "10.0.0.1,10.0.0.12,_,_,_,_,_,_,_" << true;
    QTest::newRow("tenth pushes the oldest out") << "I,H,G,F,E,D,C,B,A"
                                                 << "J"
                                                 << "J,I,H,G,F,E,D,C,B" << true;
    QTest::newRow("gap closed by a new one") << "A,_,_,_,_,_,_,_,Z"
                                             << "N"
                                             << "N,A,Z,_,_,_,_,_,Z" << true;
}

void TestHistoryLists::addresses() {
    QFETCH(QString, before);
    QFETCH(QString, ip);
    QFETCH(QString, after);
    QFETCH(bool, isNew);
    const TextUpdate update = saveAddress(texts(before, AddressSlots), ip);
    QCOMPARE(show(update.after), after);
    QCOMPARE(update.isNew, isNew);
}

void TestHistoryLists::ports_data() {
    QTest::addColumn<QString>("before");
    QTest::addColumn<QString>("portText");
    QTest::addColumn<QString>("after");
    QTest::addColumn<bool>("isNew");

    QTest::newRow("first port") << ""
                                << "5000"
                                << "5000,_,_,_,_,_,_,_,_" << true;
    QTest::newRow("known port") << "4000,5000"
                                << "5000"
                                << "4000,5000,_,_,_,_,_,_,_" << false;
    QTest::newRow("leading zero is new, stored as number") << "502"
                                                           << "0502"
                                                           << "502,502,_,_,_,_,_,_,_" << true;
    QTest::newRow("tenth pushes the oldest out") << "9,8,7,6,5,4,3,2,1"
                                                 << "10"
                                                 << "10,9,8,7,6,5,4,3,2" << true;
}

void TestHistoryLists::ports() {
    QFETCH(QString, before);
    QFETCH(QString, portText);
    QFETCH(QString, after);
    QFETCH(bool, isNew);
    const auto port = portNumber(portText);
    QVERIFY(port);
    const NumberUpdate update = savePort(numbers(before, PortSlots), portText, *port);
    QCOMPARE(show(update.after), after);
    QCOMPARE(update.isNew, isNew);
}

void TestHistoryLists::portNumbers_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("number");

    QTest::newRow("plain") << "5000" << true << 5000;
    QTest::newRow("leading zero") << "0502" << true << 502;
    QTest::newRow("letters") << "50a0" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("beyond 32 bits") << "99999999999" << false << 0;
    QTest::newRow("hex is not decimal") << "0x10" << false << 0;
}

void TestHistoryLists::portNumbers() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, number);
    const auto port = portNumber(text);
    QCOMPARE(port.has_value(), valid);
    if (valid)
        QCOMPARE(*port, number);
}

void TestHistoryLists::pairAddresses_data() {
    QTest::addColumn<QString>("pair");
    QTest::addColumn<QString>("address");

    QTest::newRow("pair") << "10.0.0.1:5000"
                          << "10.0.0.1";
    QTest::newRow("no colon") << "10.0.0.1"
                              << "10.0.0.1";
    QTest::newRow("first colon splits") << "a:b:c"
                                        << "a";
    QTest::newRow("empty address") << ":5000"
                                   << "";
}

void TestHistoryLists::pairAddresses() {
    QFETCH(QString, pair);
    QFETCH(QString, address);
    QCOMPARE(pairAddress(pair), address);
}

void TestHistoryLists::pairs_data() {
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("first pair") << QStringList() << "1.2.3.4"
                                << "5000" << QStringList{"1.2.3.4:5000"};
    QTest::newRow("same address, other port replaced") << QStringList{"192.168.1.10:4000"} << "192.168.1.10"
                                                       << "5000" << QStringList{"192.168.1.10:5000"};
    // Saving 10.0.0.1 used to delete every pair containing that text, 10.0.0.12 and 10.0.0.100 too.
    QTest::newRow("longer addresses with the same start stay")
        << QStringList{"10.0.0.12:5000", "10.0.0.1:4000", "10.0.0.100:6000"} << "10.0.0.1"
        << "5000" << QStringList{"10.0.0.1:5000", "10.0.0.12:5000", "10.0.0.100:6000"};
    QTest::newRow("port that starts with the new port is replaced")
        << QStringList{"10.0.0.1:50001"} << "10.0.0.1"
        << "5000" << QStringList{"10.0.0.1:5000"};
    QTest::newRow("shorter address stays") << QStringList{"10.0.0.1:80"} << "10.0.0.12"
                                           << "80" << QStringList{"10.0.0.12:80", "10.0.0.1:80"};
    QTest::newRow("known pair keeps its place")
        << QStringList{"1.1.1.1:1", "10.0.0.1:5000", "2.2.2.2:2"} << "10.0.0.1"
        << "5000" << QStringList{"1.1.1.1:1", "10.0.0.1:5000", "2.2.2.2:2"};
    QTest::newRow("known pair, stale ports of its address dropped")
        << QStringList{"10.0.0.1:4000", "1.1.1.1:1", "10.0.0.1:5000"} << "10.0.0.1"
        << "5000" << QStringList{"1.1.1.1:1", "10.0.0.1:5000"};
    QTest::newRow("port kept as typed") << QStringList{"10.0.0.1:502"} << "10.0.0.1"
                                        << "0502" << QStringList{"10.0.0.1:0502"};
}

void TestHistoryLists::pairs() {
    QFETCH(QStringList, stored);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QStringList, expected);
    QCOMPARE(savePair(stored, ip, port), expected);
}

void TestHistoryLists::pairOverflow() {
    const QStringList stored = pairsOf(1, 21); // newest first: 10.1.1.21 is the oldest
    const QStringList pairs = savePair(stored, QStringLiteral("10.2.2.2"), QStringLiteral("5000"));
    QCOMPARE(pairs.size(), 22);
    QCOMPARE(pairs.first(), QStringLiteral("10.2.2.2:5000"));

    const TextSlots held = pairSlots(pairs);
    QCOMPARE(held.size(), PairSlots);
    QCOMPARE(present(held), pairs.first(PairSlots));
    QVERIFY(!present(held).contains(QStringLiteral("10.1.1.21:4021")));
}

void TestHistoryLists::portLookup_data() {
    QTest::addColumn<QStringList>("pairs");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port"); // "-" for none found

    // The history savePair leaves after 10.0.0.12:6000 and then 10.0.0.1:5000.
    QTest::newRow("own address, a longer one stored after it")
        << savePair(savePair({}, "10.0.0.12", "6000"), "10.0.0.1", "5000") << "10.0.0.1"
        << "5000";
    QTest::newRow("own address stored after a longer one")
        << QStringList{"10.0.0.12:6000", "10.0.0.1:5000"} << "10.0.0.1"
        << "5000";
    QTest::newRow("no own address: a longer one serves")
        << QStringList{"10.0.0.5:7000", "192.168.1.10:4001"} << "192.168.1.1"
        << "4001";
    QTest::newRow("no own address: the last containing wins")
        << QStringList{"192.168.1.10:4001", "192.168.1.11:4002"} << "192.168.1.1"
        << "4002";
    QTest::newRow("the longer address finds its own")
        << QStringList{"10.0.0.12:6000", "10.0.0.1:5000"} << "10.0.0.12"
        << "6000";
    QTest::newRow("none contains it") << QStringList{"10.0.0.5:7000"} << "172.16.0.1"
                                      << "-";
    QTest::newRow("at most five characters") << QStringList{"10.0.0.1:123456"} << "10.0.0.1"
                                             << "12345";
    QTest::newRow("pair without a port") << QStringList{"10.0.0.1"} << "10.0.0.1"
                                         << "";
}

void TestHistoryLists::portLookup() {
    QFETCH(QStringList, pairs);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    const auto found = portForAddress(pairs, ip);
    QCOMPARE(found.value_or(QStringLiteral("-")), port);
}

QTEST_APPLESS_MAIN(TestHistoryLists)
#include "tst_historylists.moc"
