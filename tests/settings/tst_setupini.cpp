// setup.ini decoding and lookup, the integer rule of its flags, and the device keys.
#include "settings/SetupIni.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray utf16(const QString& text, bool bigEndian) {
    QByteArray bytes(bigEndian ? "\xFE\xFF" : "\xFF\xFE");
    for (QChar c : text) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        bytes.append(bigEndian ? hi : lo);
        bytes.append(bigEndian ? lo : hi);
    }
    return bytes;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestSetupIni : public QObject {
    Q_OBJECT

  private slots:
    void decodeLines_data();
    void decodeLines();
    void valueOf_data();
    void valueOf();
    void toInt_data();
    void toInt();
    void deviceKeyStandard_data();
    void deviceKeyStandard();
    void deviceKeyOld_data();
    void deviceKeyOld();
    void readFlagsFromFile_data();
    void readFlagsFromFile();
    void missingFileLeavesDefaults();
    void programForEncodedFiles();
};

void TestSetupIni::decodeLines_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");

    const QString cyr = QStringLiteral(u"ПРИБОР=Прибор.exe");
    const QByteArray cyr1251("\xCF\xD0\xC8\xC1\xCE\xD0=\xCF\xF0\xE8\xE1\xEE\xF0.exe");

    QTest::newRow("CR LF") << QByteArray("A=1\r\nB=2\r\n") << QStringList{"A=1", "B=2"};
    QTest::newRow("LF") << QByteArray("A=1\nB=2") << QStringList{"A=1", "B=2"};
    QTest::newRow("CR") << QByteArray("A=1\rB=2\r") << QStringList{"A=1", "B=2"};
    QTest::newRow("mixed") << QByteArray("A\r\nB\nC\rD") << QStringList{"A", "B", "C", "D"};
    QTest::newRow("CR CR LF is two breaks") << QByteArray("A\r\r\nB") << QStringList{"A", "", "B"};
    QTest::newRow("LF CR is two breaks") << QByteArray("A\n\rB") << QStringList{"A", "", "B"};
    QTest::newRow("blank lines kept") << QByteArray("A\n\nB\n") << QStringList{"A", "", "B"};
    QTest::newRow("empty file") << QByteArray() << QStringList{};
    QTest::newRow("only a break") << QByteArray("\r\n") << QStringList{""};
    QTest::newRow("UTF-8 BOM") << (QByteArray("\xEF\xBB\xBF") + cyr.toUtf8() + "\r\nSP=1")
                               << QStringList{cyr, "SP=1"};
    QTest::newRow("UTF-8 BOM, ASCII") << QByteArray("\xEF\xBB\xBFSP=1") << QStringList{"SP=1"};
    QTest::newRow("UTF-8 without BOM") << (cyr.toUtf8() + "\n") << QStringList{cyr};
    QTest::newRow("invalid UTF-8 is Windows-1251") << (cyr1251 + "\r\nRB=1\r\n") << QStringList{cyr, "RB=1"};
    QTest::newRow("one 1251 letter among ASCII")
        << QByteArray("A=\xB8") << QStringList{QStringLiteral(u"A=ё")};
    QTest::newRow("truncated UTF-8 sequence") << QByteArray("A=\xD0") << QStringList{QStringLiteral(u"A=Р")};
    // A lenient decoder would accept these and turn a 1251 file into garbage.
    QTest::newRow("overlong UTF-8 form") << QByteArray("\xC0\xAF") << QStringList{QStringLiteral(u"АЇ")};
    QTest::newRow("UTF-8 encoded surrogate")
        << QByteArray("\xED\xA0\x80") << QStringList{QStringLiteral(u"н\u00A0Ђ")};
    QTest::newRow("UTF-16 LE BOM") << utf16(QStringLiteral(u"Ж=1\r\nB=2\r\n"), false)
                                   << QStringList{QStringLiteral(u"Ж=1"), "B=2"};
    QTest::newRow("UTF-16 BE BOM") << utf16(QStringLiteral(u"Ж=1\rB=2"), true)
                                   << QStringList{QStringLiteral(u"Ж=1"), "B=2"};
    QTest::newRow("UTF-16 LE odd last byte dropped")
        << (utf16(QStringLiteral(u"A=1"), false) + 'x') << QStringList{"A=1"};
}

void TestSetupIni::decodeLines() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QCOMPARE(SetupIni::decodeLines(bytes), lines);
}

void TestSetupIni::valueOf_data() {
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");

    QTest::newRow("exact") << QStringList{"SP=1"} << "SP"
                           << "1";
    QTest::newRow("letter case ignored") << QStringList{"abc=prog.exe"} << "ABC"
                                         << "prog.exe";
    QTest::newRow("Cyrillic letter case ignored")
        << QStringList{QStringLiteral(u"прибор=p")} << QStringLiteral(u"ПРИБОР") << "p";
    QTest::newRow("space before = does not match") << QStringList{"ABC =x"} << "ABC"
                                                   << "";
    QTest::newRow("key with that space matches") << QStringList{"ABC =x"} << "ABC "
                                                 << "x";
    QTest::newRow("leading space does not match") << QStringList{" ABC=x"} << "ABC"
                                                  << "";
    QTest::newRow("value untrimmed") << QStringList{"ABC= x \t"} << "ABC"
                                     << " x \t";
    QTest::newRow("first match wins") << QStringList{"ABC=one", "abc=two"} << "ABC"
                                      << "one";
    QTest::newRow("value holds =") << QStringList{"ABC=a=b"} << "ABC"
                                   << "a=b";
    QTest::newRow("only the first = splits") << QStringList{"X=ABC=1"} << "ABC"
                                             << "";
    QTest::newRow("longer key is another key") << QStringList{"ABCD=x"} << "ABC"
                                               << "";
    QTest::newRow("bracket line ignored") << QStringList{"[ABC]", "ABC=p"} << "ABC"
                                          << "p";
    QTest::newRow("line without = skipped") << QStringList{"ABC", "ABC=p"} << "ABC"
                                            << "p";
    QTest::newRow("empty key: line starting with =") << QStringList{"A=1", "=empty.exe"} << ""
                                                     << "empty.exe";
    QTest::newRow("empty key: no such line") << QStringList{"A=1", "B"} << ""
                                             << "";
    QTest::newRow("no lines") << QStringList{} << "ABC"
                              << "";
}

void TestSetupIni::valueOf() {
    QFETCH(QStringList, lines);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QCOMPARE(SetupIni::valueOf(lines, key), value);
}

void TestSetupIni::toInt_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("number");

    QTest::newRow("1") << "1" << 1;
    QTest::newRow("01") << "01" << 1;
    QTest::newRow("+1") << "+1" << 1;
    QTest::newRow("leading spaces") << "  1" << 1;
    QTest::newRow("trailing space") << "1 " << 0;
    QTest::newRow("leading tab") << "\t1" << 0;
    QTest::newRow("space after sign") << "- 1" << 0;
    QTest::newRow("yes") << "yes" << 0;
    QTest::newRow("true") << "true" << 0;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("$10") << "$10" << 16;
    QTest::newRow("$ff") << "$ff" << 255;
    QTest::newRow("0x10") << "0x10" << 16;
    QTest::newRow("0X1f") << "0X1f" << 31;
    QTest::newRow("-$10") << "-$10" << -16;
    QTest::newRow("hex digit in decimal") << "1f" << 0;
    QTest::newRow("bad hex digit") << "0x1G" << 0;
    QTest::newRow("-1") << "-1" << -1;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("only spaces") << "  " << 0;
    QTest::newRow("only sign") << "+" << 0;
    QTest::newRow("$ alone") << "$" << 0;
    QTest::newRow("0x alone") << "0x" << 0;
    QTest::newRow("decimal point") << "1.0" << 0;
    QTest::newRow("fullwidth digit") << QStringLiteral(u"\uFF11") << 0;
    QTest::newRow("largest") << "2147483647" << 2147483647;
    QTest::newRow("smallest") << "-2147483648" << int(-2147483647 - 1);
    QTest::newRow("one beyond largest") << "2147483648" << 0;
    QTest::newRow("one beyond smallest") << "-2147483649" << 0;
    QTest::newRow("far beyond 32 bits") << "99999999999" << 0;
    QTest::newRow("many leading zeros") << "000000000000001" << 1;
    QTest::newRow("hex full pattern") << "$FFFFFFFF" << -1;
    QTest::newRow("hex beyond 32 bits") << "$100000000" << 0;
}

void TestSetupIni::toInt() {
    QFETCH(QString, value);
    QFETCH(int, number);
    QCOMPARE(SetupIni::toInt(value), number);
    QCOMPARE(SetupIni::flagOn(value), number == 1);
}

void TestSetupIni::deviceKeyStandard_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("key");

    QTest::newRow("typical answer") << "+VER_INFO=1,\"ABC.02.07\",5"
                                    << "ABC";
    QTest::newRow("echo before answer") << "+VER_INFO=?\r\n+VER_INFO=1,\"ABC.02.07\"\r\nOK\r\n"
                                        << "ABC";
    QTest::newRow("leading blanks skipped") << "+VER_INFO=1,  \"ABC.02.07\""
                                            << "ABC";
    QTest::newRow("leading controls skipped") << "1,\r\n\tABC.1"
                                              << "ABC";
    QTest::newRow("field cut at a space") << "1,ABC.02 07"
                                          << "ABC";
    QTest::newRow("space before the dot") << "1,AB C.02"
                                          << "";
    QTest::newRow("field cut at CR") << "1,ABC\r.02"
                                     << "";
    QTest::newRow("no comma: whole text is the field") << "ABC.02.07"
                                                       << "ABC";
    QTest::newRow("no comma, echo only") << "+VER_INFO=?\r\n"
                                         << "";
    QTest::newRow("no dot") << "1,ABC"
                            << "";
    QTest::newRow("dot in a later field only") << "1,ABC,1.2"
                                               << "";
    QTest::newRow("nothing after comma") << "1,"
                                         << "";
    QTest::newRow("only blanks after comma") << "1,  \r\n"
                                             << "";
    QTest::newRow("empty field") << "1,,ABC.1"
                                 << "";
    QTest::newRow("dot first") << "1,.02"
                               << "";
    QTest::newRow("quotes anywhere removed") << "1,\"A\"B\".1"
                                             << "AB";
    QTest::newRow("quote before the first comma removed too") << "\"1,\",ABC.1"
                                                              << "";
    QTest::newRow("Cyrillic key") << QStringLiteral(u"+VER_INFO=1,\"Прибор.01\"")
                                  << QStringLiteral(u"Прибор");
    QTest::newRow("empty") << ""
                           << "";
}

void TestSetupIni::deviceKeyStandard() {
    QFETCH(QString, answer);
    QFETCH(QString, key);
    QCOMPARE(SetupIni::deviceKeyStandard(answer), key);
}

void TestSetupIni::deviceKeyOld_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<QString>("key");

    QTest::newRow("typical answer") << "\r\nABC.01.02\r\nOK\r"
                                    << "ABC";
    QTest::newRow("no dot") << "\r\nOK\r\n"
                            << "";
    QTest::newRow("spaces kept") << " AB C.1"
                                 << " AB C";
    QTest::newRow("CR and LF inside removed") << "A\rB\nC.1"
                                              << "ABC";
    QTest::newRow("tab kept") << "\tABC.1"
                              << "\tABC";
    QTest::newRow("quotes kept") << "\"ABC\".1"
                                 << "\"ABC\"";
    QTest::newRow("dot first") << ".1"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestSetupIni::deviceKeyOld() {
    QFETCH(QString, answer);
    QFETCH(QString, key);
    QCOMPARE(SetupIni::deviceKeyOld(answer), key);
}

void TestSetupIni::readFlagsFromFile_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("oldConnect");
    QTest::addColumn<bool>("sp");
    QTest::addColumn<bool>("rb");
    QTest::addColumn<int>("proto");

    QTest::newRow("all on") << QByteArray("OLDCONNECT=1\r\nSP=1\r\nRB=1\r\nPROTO=1\r\n") << true << true
                            << true << 1;
    QTest::newRow("variants that count as 1")
        << QByteArray("oldconnect=01\nSp=+1\nrb=  1\nPROTO=$1") << true << true << true << 1;
    QTest::newRow("variants that count as off")
        << QByteArray("OLDCONNECT=1 \rSP=yes\rRB=2\rPROTO=x\r") << false << false << false << 0;
    QTest::newRow("absent keys") << QByteArray("[main]\r\nABC=abc.exe\r\n") << false << false << false << 0;
    QTest::newRow("first line wins") << QByteArray("SP=0\r\nSP=1\r\nRB=1\r\nRB=0\r\n") << false << false
                                     << true << 0;
    QTest::newRow("UTF-16 LE file") << utf16(QStringLiteral(u"SP=1\r\nPROTO=1\r\n"), false) << false << true
                                    << false << 1;
}

void TestSetupIni::readFlagsFromFile() {
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("setup.ini");
    QVERIFY(writeFile(path, content));

    const SetupIni::SetupFlags flags = SetupIni::readFlags(path);
    QVERIFY(flags.fileRead);
    QVERIFY(flags.error.isEmpty());
    QTEST(flags.oldConnect, "oldConnect");
    QTEST(flags.sp, "sp");
    QTEST(flags.rb, "rb");
    QTEST(flags.proto, "proto");
}

// Start-up must go on with everything off when the file is absent or is not a file.
void TestSetupIni::missingFileLeavesDefaults() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString missing = dir.filePath("setup.ini");
    const QString directory = dir.filePath("dir.ini");
    QVERIFY(QDir(dir.path()).mkdir("dir.ini"));

    for (const QString& path : {missing, directory}) {
        const SetupIni::SetupFlags flags = SetupIni::readFlags(path);
        QVERIFY(!flags.fileRead);
        QVERIFY(!flags.error.isEmpty());
        QVERIFY(flags.error.contains(path));
        QVERIFY(!flags.oldConnect && !flags.sp && !flags.rb);
        QCOMPARE(flags.proto, 0);

        bool found = true;
        QCOMPARE(SetupIni::programFor(path, "ABC", &found), QString());
        QVERIFY(!found);
    }
}

// A hand-edited file saved by a Russian Windows editor is in 1251 without a mark.
void TestSetupIni::programForEncodedFiles() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("setup.ini");
    const QString key = QStringLiteral(u"Прибор");

    QVERIFY(writeFile(path, "SP=1\r\n\xCF\xF0\xE8\xE1\xEE\xF0=\xEF\xF0\xE8\xE1\xEE\xF0.exe\r\nABC=abc\r\n"));
    bool found = false;
    QCOMPARE(SetupIni::programFor(path, key, &found), QStringLiteral(u"прибор.exe"));
    QVERIFY(found);
    QCOMPARE(SetupIni::programFor(path, "abc", &found), QStringLiteral("abc"));
    found = false;
    QCOMPARE(SetupIni::programFor(path, "XYZ", &found), QString());
    QVERIFY(found);

    QVERIFY(writeFile(path, "\xEF\xBB\xBF" + QStringLiteral(u"прибор=Прибор.exe\n").toUtf8()));
    QCOMPARE(SetupIni::programFor(path, key, nullptr), QStringLiteral(u"Прибор.exe"));
}

QTEST_APPLESS_MAIN(TestSetupIni)
#include "tst_setupini.moc"
