// Windows-1251 conversion of device bytes, independent of the host's locale.
#include "platform/AnsiCodec.h"

#include <QTest>

class TestAnsiCodec : public QObject {
    Q_OBJECT

  private slots:
    void everyByteSurvivesTheRoundTrip();
    void knownCharacters_data();
    void knownCharacters();
    void fromTextMapsOrReplaces_data();
    void fromTextMapsOrReplaces();
    void nulIsKept();
};

// Relayed binary data is logged through text and the log's copy must show every byte;
// a lossy byte (0x98 dropped or turned into '?') would hide what the panel really sent.
void TestAnsiCodec::everyByteSurvivesTheRoundTrip() {
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = AnsiCodec::toText(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(AnsiCodec::fromText(text), all);

    // No two bytes may share a character, or the reverse mapping would be ambiguous.
    QSet<char16_t> seen;
    for (QChar c : text)
        seen.insert(c.unicode());
    QCOMPARE(seen.size(), 256);
}

void TestAnsiCodec::knownCharacters_data() {
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("unicode");

    QTest::newRow("ASCII letter") << 0x41 << 0x0041;
    QTest::newRow("DEL") << 0x7F << 0x007F;
    QTest::newRow("capital A") << 0xC0 << 0x0410;   // А
    QTest::newRow("small ya") << 0xFF << 0x044F;    // я
    QTest::newRow("capital YO") << 0xA8 << 0x0401;  // Ё, outside the contiguous block
    QTest::newRow("small yo") << 0xB8 << 0x0451;    // ё
    QTest::newRow("capital ZHE") << 0xC6 << 0x0416; // Ж
    QTest::newRow("small e") << 0xFD << 0x044D;     // э
    QTest::newRow("euro") << 0x88 << 0x20AC;
    QTest::newRow("numero") << 0xB9 << 0x2116;
    QTest::newRow("no-break space") << 0xA0 << 0x00A0;
    QTest::newRow("Ukrainian GHE") << 0xA5 << 0x0490;
    QTest::newRow("undefined 0x98") << 0x98 << 0x0098;
}

void TestAnsiCodec::knownCharacters() {
    QFETCH(int, byte);
    QFETCH(int, unicode);
    const QByteArray bytes(1, char(byte));
    const QString text(1, QChar(char16_t(unicode)));
    QCOMPARE(AnsiCodec::toText(bytes), text);
    QCOMPARE(AnsiCodec::fromText(text), bytes);
}

void TestAnsiCodec::fromTextMapsOrReplaces_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("Cyrillic word") << QStringLiteral(u"Прибор ёЁ")
                                   << QByteArray("\xCF\xF0\xE8\xE1\xEE\xF0 \xB8\xA8");
    QTest::newRow("Latin-1 letter") << QStringLiteral(u"caf\u00E9") << QByteArray("caf?");
    QTest::newRow("C1 control other than 0x98") << QStringLiteral(u"\u0081") << QByteArray("?");
    QTest::newRow("Greek") << QStringLiteral(u"\u03A9x") << QByteArray("?x");
    QTest::newRow("character beyond the BMP is one ?")
        << QStringLiteral(u"a\U0001F600b") << QByteArray("a?b");
    QTest::newRow("lone surrogate") << QString(QChar(char16_t(0xD800))) << QByteArray("?");
}

void TestAnsiCodec::fromTextMapsOrReplaces() {
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(AnsiCodec::fromText(text), bytes);
}

void TestAnsiCodec::nulIsKept() {
    const QByteArray bytes("A\0B", 3);
    const QString text = AnsiCodec::toText(bytes);
    QCOMPARE(text.size(), 3);
    QCOMPARE(text[1], QChar(u'\0'));
    QCOMPARE(AnsiCodec::fromText(text), bytes);
}

QTEST_APPLESS_MAIN(TestAnsiCodec)
#include "tst_ansicodec.moc"
