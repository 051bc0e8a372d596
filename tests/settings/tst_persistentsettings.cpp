// Histories and choices kept between runs: the store layer, the main window's load and
// save operations over a temporary store, and a save in one process read by the next.
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "settings/HistoryLists.h"
#include "settings/SettingsStore.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>

namespace {

const QString kChildMode = QStringLiteral("KESTROM_SETTINGS_CHILD");

QString confPath(const QString& configDir) {
    return configDir + QStringLiteral("/Norvak/Kestrom.conf");
}

void writeConf(const FormsFixture& fx, const QByteArray& text) {
    QDir().mkpath(fx.configDir() + QStringLiteral("/Norvak"));
    QFile f(confPath(fx.configDir()));
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

// A stored value as text, "_" when missing.
QString stored(const QString& name) {
    const QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvak"),
                      QStringLiteral("Kestrom"));
    return s.contains(name) ? s.value(name).toString() : QStringLiteral("_");
}

// The numbered values first..first+count-1 as "a,b,_": one entry per name.
QString storedRange(const QString& prefix, int first, int count) {
    QStringList parts;
    for (int i = first; i < first + count; ++i)
        parts << stored(prefix + QString::number(i));
    while (!parts.isEmpty() && parts.last() == QLatin1String("_"))
        parts.removeLast();
    return parts.join(QLatin1Char(','));
}

QStringList items(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

void presentPorts(const QStringList& ports) {
    SetCOMPortEnumeratorForTest([ports] { return ports; });
}

// What a run left behind, as the next run sees it, one "name=value" line each.
QStringList windowState(const TMainKestromForm* f) {
    return {QStringLiteral("channel=%1").arg(f->ConnectTypeComboBox->currentIndex()),
            QStringLiteral("ipFieldsShown=%1").arg(!f->IPCombo->isHidden()),
            QStringLiteral("port=%1").arg(f->PortsListComboBox->currentText()),
            QStringLiteral("phones=%1").arg(items(f->PhoneNumber).join(QLatin1Char('|'))),
            QStringLiteral("ipItems=%1").arg(items(f->IPCombo).join(QLatin1Char('|'))),
            QStringLiteral("ip=%1").arg(f->IPCombo->currentText()),
            QStringLiteral("portItems=%1").arg(items(f->PortCombo).join(QLatin1Char('|'))),
            QStringLiteral("tcpPort=%1").arg(f->PortCombo->currentText()),
            QStringLiteral("pairs=%1")
                .arg(f->FIPPort ? f->FIPPort->join(QLatin1Char('|')) : QStringLiteral("-"))};
}

// One run of the program as far as the store is concerned: the user picks the IP channel
// and the second port, dials a number, reaches a panel, and closes the window.
const QString kPhone = QStringLiteral(" +7 (495) 123-45-67,,1 "); // blanks and modem pauses as typed
void useTheWindow(TMainKestromForm* f) {
    f->SavePhoneNumber(kPhone);
    f->PortsListComboBox->setCurrentIndex(1);
    f->ConnectTypeComboBox->setCurrentIndex(chIP);
    f->ConnectTypeComboBoxChange();
    f->IPCombo->setEditText(QStringLiteral("192.168.1.10"));
    f->PortCombo->setEditText(QStringLiteral("5000"));
    f->SaveIPList();
}

const QStringList kExpectedNextRun = {
    QStringLiteral("channel=3"),
    QStringLiteral("ipFieldsShown=1"),
    QStringLiteral("port=ttyUSB1"),
    QStringLiteral("phones=") + kPhone,
    QStringLiteral("ipItems=192.168.1.10"),
    QStringLiteral("ip=192.168.1.10"),
    QStringLiteral("portItems=5000"),
    QStringLiteral("tcpPort=5000"),
    QStringLiteral("pairs=192.168.1.10:5000"),
};

// Child process: XDG_CONFIG_HOME points at the test's store; "save" runs useTheWindow and
// closes, "load" prints what the window shows after start-up.
int runChild(const QString& mode) {
    QTemporaryDir appDir; // no setup.ini
    Platform::SetAppDirForTest(appDir.path());
    Platform::SetMessageBoxHandler(
        [](const Platform::BoxRecord& r) { std::fprintf(stderr, "BOX %s\n", qPrintable(r.text)); });
    presentPorts({QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")});
    CreateForms();
    if (mode == QLatin1String("save"))
        useTheWindow(MainKestromForm);
    else
        std::fputs(qPrintable(windowState(MainKestromForm).join(QLatin1Char('\n')) + QLatin1Char('\n')),
                   stdout);
    DestroyForms();
    return 0;
}

} // namespace

class TestPersistentSettings : public QObject {
    Q_OBJECT
  private slots:
    void cleanup() { SetCOMPortEnumeratorForTest({}); }

    void storeValueTypes_data();
    void storeValueTypes();
    void firstRunCreatesNothing();
    void unreadableValuesAreMissing_data();
    void unreadableValuesAreMissing();
    void phoneHistory();
    void phoneAlreadyStored();
    void saveIPList_data();
    void saveIPList();
    void pairOverflowKeptInMemory();
    void selectComboItem_data();
    void selectComboItem();
    void storedPortAndChannel();
    void portFilledFromPairs();
    void nextRunInSameProcess();
    void nextRunInNewProcess();
};

void TestPersistentSettings::storeValueTypes_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("asText"); // "_" when not a string
    QTest::addColumn<QString>("asInteger");

    QTest::newRow("text") << QVariant(QStringLiteral("10.0.0.1")) << "10.0.0.1"
                          << "_";
    QTest::newRow("empty text") << QVariant(QString()) << ""
                                << "_";
    QTest::newRow("number as text (the Linux file)") << QVariant(QStringLiteral("502")) << "502"
                                                     << "502";
    QTest::newRow("typed int (registry DWORD)") << QVariant(502) << "_"
                                                << "502";
    QTest::newRow("negative") << QVariant(QStringLiteral("-1")) << "-1"
                              << "-1";
    QTest::newRow("largest") << QVariant(QStringLiteral("2147483647")) << "2147483647"
                             << "2147483647";
    QTest::newRow("one beyond 32 bits") << QVariant(QStringLiteral("2147483648")) << "2147483648"
                                        << "_";
    QTest::newRow("huge") << QVariant(QStringLiteral("99999999999")) << "99999999999"
                          << "_";
    QTest::newRow("huge typed") << QVariant(qlonglong(1) << 40) << "_"
                                << "_";
    QTest::newRow("letters") << QVariant(QStringLiteral("abc")) << "abc"
                             << "_";
    QTest::newRow("decimal fraction") << QVariant(QStringLiteral("1.5")) << "1.5"
                                      << "_";
    QTest::newRow("list") << QVariant(QStringList{"a", "b"}) << "_"
                          << "_";
    QTest::newRow("byte array") << QVariant(QByteArray("10.0.0.1")) << "_"
                                << "_";
    QTest::newRow("missing") << QVariant() << "_"
                             << "_";
}

void TestPersistentSettings::storeValueTypes() {
    QFETCH(QVariant, value);
    QFETCH(QString, asText);
    QFETCH(QString, asInteger);
    const auto text = SettingsStore::toText(value);
    const auto number = SettingsStore::toInteger(value);
    QCOMPARE(text ? *text : QStringLiteral("_"), asText);
    QCOMPARE(number ? QString::number(*number) : QStringLiteral("_"), asInteger);
}

void TestPersistentSettings::firstRunCreatesNothing() {
    FormsFixture fx;
    presentPorts({QStringLiteral("ttyUSB0")});
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    QVERIFY2(!QFileInfo::exists(fx.configDir() + QStringLiteral("/Norvak")), "loading wrote to the store");
    QCOMPARE(f->ConnectTypeComboBox->currentIndex(), int(chModemV32));
    QCOMPARE(f->PhoneNumber->count(), 0);
    QCOMPARE(f->IPCombo->count(), 0);
    QCOMPARE(f->PortCombo->count(), 0);
    QCOMPARE(f->IPCombo->currentText(), QString());
    QCOMPARE(f->PortCombo->currentText(), QString());
    QVERIFY(f->FIPPort->isEmpty());
    QCOMPARE(f->PortsListComboBox->currentText(), QStringLiteral("ttyUSB0"));

    // Closing the window is the first write: port and channel.
    fx.Destroy();
    QVERIFY(QFileInfo::exists(confPath(fx.configDir())));
    QCOMPARE(stored(QStringLiteral("COM")), QStringLiteral("ttyUSB0"));
    QCOMPARE(stored(QStringLiteral("CHANNEL")), QStringLiteral("0"));
}

void TestPersistentSettings::unreadableValuesAreMissing_data() {
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QStringList>("ipItems");
    QTest::addColumn<QStringList>("portItems");
    QTest::addColumn<QString>("ipText");
    QTest::addColumn<QString>("portText");

    QTest::newRow("letters under PORT3") << QByteArray("[General]\nPORT0=4000\nPORT3=abc\nPORT4=502\n") << 0
                                         << QStringList() << QStringList{"4000", "502"} << ""
                                         << "";
    QTest::newRow("letters under CHANNEL") << QByteArray("[General]\nCHANNEL=x\nIP0=10.0.0.1\n") << 0
                                           << QStringList{"10.0.0.1"} << QStringList() << ""
                                           << "";
    QTest::newRow("CHANNEL 7") << QByteArray("[General]\nCHANNEL=7\n") << 0 << QStringList() << QStringList()
                               << ""
                               << "";
    QTest::newRow("CHANNEL -1") << QByteArray("[General]\nCHANNEL=-1\n") << 0 << QStringList()
                                << QStringList() << ""
                                << "";
    QTest::newRow("CHANNEL 2") << QByteArray("[General]\nCHANNEL=2\n") << 2 << QStringList() << QStringList()
                               << ""
                               << "";
    QTest::newRow("number beyond 32 bits")
        << QByteArray("[General]\nLastPort=99999999999\nPORT0=4294967297\n") << 0 << QStringList()
        << QStringList() << ""
        << "";
    QTest::newRow("list under an address")
        << QByteArray("[General]\nIP0=10.0.0.1, 10.0.0.2\nIP1=10.0.0.3\nLastIP=a, b\n") << 0
        << QStringList{"10.0.0.3"} << QStringList() << ""
        << "";
    QTest::newRow("byte array under LastIP")
        << QByteArray("[General]\nLastIP=@ByteArray(10.0.0.1)\nLastPort=80\n") << 0 << QStringList()
        << QStringList() << ""
        << "80";
    QTest::newRow("not a settings file")
        << QByteArray::fromHex("0102fffe5b5b5b0a3d0a0000") << 0 << QStringList() << QStringList() << ""
        << "";
}

void TestPersistentSettings::unreadableValuesAreMissing() {
    QFETCH(QByteArray, conf);
    QFETCH(int, channel);
    QFETCH(QStringList, ipItems);
    QFETCH(QStringList, portItems);
    QFETCH(QString, ipText);
    QFETCH(QString, portText);
    FormsFixture fx;
    writeConf(fx, conf);
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    f->show();
    QCOMPARE(f->ConnectTypeComboBox->currentIndex(), channel);
    // The window is arranged for the channel it ended up with, never left with none.
    QCOMPARE(f->PortsListComboBox->isVisible(), channel != chIP);
    QCOMPARE(f->PhoneNumber->isVisible(), channel == chModemV32 || channel == chModemV110);
    QCOMPARE(items(f->IPCombo), ipItems);
    QCOMPARE(items(f->PortCombo), portItems);
    QCOMPARE(f->IPCombo->currentText(), ipText);
    QCOMPARE(f->PortCombo->currentText(), portText);
}

void TestPersistentSettings::phoneHistory() {
    FormsFixture fx;
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    f->PhoneNumber->setEditText(QStringLiteral("typed"));
    for (const char* phone : {"A", "B", "C", "D", "E", "F", "G", "H", "I"})
        f->SavePhoneNumber(QLatin1String(phone));
    QCOMPARE(storedRange(QStringLiteral("phone"), 1, 9), QStringLiteral("I,H,G,F,E,D,C,B"));
    QCOMPARE(items(f->PhoneNumber), (QStringList{"I", "H", "G", "F", "E", "D", "C", "B"}));
    // Reloading the list leaves what the user has in the field.
    QCOMPARE(f->PhoneNumber->currentText(), QStringLiteral("typed"));
}

void TestPersistentSettings::phoneAlreadyStored() {
    FormsFixture fx;
    // phone4 is missing: the save closes the gap, and phone5 is not rewritten.
    writeConf(fx, "[General]\nphone1=111\nphone2=222\nphone3=333\nphone5=555\n");
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    QCOMPARE(items(f->PhoneNumber), (QStringList{"111", "222", "333", "555"}));
    QCOMPARE(ModeOf(confPath(fx.configDir())) & 077, 044); // as an older version left it
    f->SavePhoneNumber(QStringLiteral("333"));
    QCOMPARE(storedRange(QStringLiteral("phone"), 1, 8), QStringLiteral("111,222,333,555,555"));
    QCOMPARE(items(f->PhoneNumber), (QStringList{"111", "222", "333", "555", "555"}));
    // The panels' phone numbers are this user's alone from the first save on.
    QCOMPARE(ModeOf(confPath(fx.configDir())), 0600);
}

void TestPersistentSettings::saveIPList_data() {
    QTest::addColumn<QByteArray>("conf");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("pairs");     // IPPORT0.. as stored afterwards
    QTest::addColumn<QString>("addresses"); // IP0..
    QTest::addColumn<QString>("ports");     // PORT0..
    QTest::addColumn<QStringList>("ipItems");
    QTest::addColumn<QStringList>("portItems");

    QTest::newRow("first connection ever") << QByteArray() << "10.0.0.1"
                                           << "5000"
                                           << "10.0.0.1:5000"
                                           << "10.0.0.1"
                                           << "5000" << QStringList{"10.0.0.1"} << QStringList{"5000"};
    QTest::newRow("known address, port changed")
        << QByteArray("[General]\nIP0=192.168.1.10\nPORT0=4000\nIPPORT0=192.168.1.10:4000\n")
        << "192.168.1.10"
        << "5000"
        << "192.168.1.10:5000"
        << "192.168.1.10"
        << "5000,4000" << QStringList{"192.168.1.10"} << QStringList{"5000", "4000"};
    // Saving 10.0.0.1 used to wipe the pairs of 10.0.0.12 and 10.0.0.100 as well.
    QTest::newRow("addresses sharing a prefix keep their pairs")
        << QByteArray("[General]\nIPPORT0=10.0.0.12:5000\nIPPORT1=10.0.0.1:4000\nIPPORT2=10.0.0.100:6000\n")
        << "10.0.0.1"
        << "5000"
        << "10.0.0.1:5000,10.0.0.12:5000,10.0.0.100:6000"
        << "10.0.0.1"
        << "5000" << QStringList{"10.0.0.1"} << QStringList{"5000"};
    QTest::newRow("leading zero port is new, stored as number")
        << QByteArray("[General]\nIP0=10.0.0.1\nPORT0=502\nIPPORT0=10.0.0.1:502\n") << "10.0.0.1"
        << "0502"
        << "10.0.0.1:0502"
        << "10.0.0.1"
        << "502,502" << QStringList{"10.0.0.1"} << QStringList{"0502", "502"};
    QTest::newRow("gap in the pair numbers closed")
        << QByteArray("[General]\nIPPORT0=1.1.1.1:1\nIPPORT5=2.2.2.2:2\nIPPORT20=3.3.3.3:3\n") << "1.1.1.1"
        << "1"
        << "1.1.1.1:1,2.2.2.2:2,3.3.3.3:3"
        << "1.1.1.1"
        << "1" << QStringList{"1.1.1.1"} << QStringList{"1"};
}

void TestPersistentSettings::saveIPList() {
    QFETCH(QByteArray, conf);
    QFETCH(QString, ip);
    QFETCH(QString, port);
    QFETCH(QString, pairs);
    QFETCH(QString, addresses);
    QFETCH(QString, ports);
    QFETCH(QStringList, ipItems);
    QFETCH(QStringList, portItems);
    FormsFixture fx;
    if (!conf.isEmpty())
        writeConf(fx, conf);
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    f->IPCombo->setEditText(ip);
    f->PortCombo->setEditText(port);
    f->SaveIPList();

    QCOMPARE(stored(QStringLiteral("LastIP")), ip);
    QCOMPARE(stored(QStringLiteral("LastPort")), QString::number(port.toInt()));
    QCOMPARE(storedRange(QStringLiteral("IPPORT"), 0, 21), pairs);
    QCOMPARE(storedRange(QStringLiteral("IP"), 0, 9), addresses);
    QCOMPARE(storedRange(QStringLiteral("PORT"), 0, 9), ports);
    QCOMPARE(f->FIPPort->join(QLatin1Char(',')), pairs);
    QCOMPARE(items(f->IPCombo), ipItems);
    QCOMPARE(items(f->PortCombo), portItems);
    // The fields keep what was typed.
    QCOMPARE(f->IPCombo->currentText(), ip);
    QCOMPARE(f->PortCombo->currentText(), port);
}

void TestPersistentSettings::pairOverflowKeptInMemory() {
    FormsFixture fx;
    QByteArray conf("[General]\n");
    for (int i = 0; i < 21; ++i)
        conf += QStringLiteral("IPPORT%1=10.1.1.%1:%2\n").arg(i).arg(4000 + i).toLatin1();
    writeConf(fx, conf);
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    QCOMPARE(f->FIPPort->size(), 21);
    f->IPCombo->setEditText(QStringLiteral("10.2.2.2"));
    f->PortCombo->setEditText(QStringLiteral("5000"));
    f->SaveIPList();

    QCOMPARE(f->FIPPort->size(), 22);
    QCOMPARE(f->FIPPort->first(), QStringLiteral("10.2.2.2:5000"));
    QCOMPARE(f->FIPPort->last(), QStringLiteral("10.1.1.20:4020"));
    QCOMPARE(stored(QStringLiteral("IPPORT0")), QStringLiteral("10.2.2.2:5000"));
    QCOMPARE(stored(QStringLiteral("IPPORT20")), QStringLiteral("10.1.1.19:4019"));
    QCOMPARE(stored(QStringLiteral("IPPORT21")), QStringLiteral("_"));
    const QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvak"),
                      QStringLiteral("Kestrom"));
    for (const QString& key : s.allKeys())
        QVERIFY2(!s.value(key).toString().startsWith(QLatin1String("10.1.1.20:")), qPrintable(key));
}

void TestPersistentSettings::selectComboItem_data() {
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");

    QTest::newRow("other letter case") << QStringList{"COM1", "COM3"} << 0 << "com3" << 1;
    QTest::newRow("exact") << QStringList{"ttyUSB0", "ttyUSB1"} << 0 << "ttyUSB1" << 1;
    QTest::newRow("first match wins") << QStringList{"a", "ttyUSB0", "TTYUSB0"} << 0 << "TtyUsb0" << 1;
    QTest::newRow("no match keeps the selection") << QStringList{"COM1", "COM3"} << 1 << "COM9" << 1;
    QTest::newRow("prefix is no match") << QStringList{"COM10"} << -1 << "COM1" << -1;
    QTest::newRow("empty box") << QStringList() << -1 << "COM1" << -1;
    QTest::newRow("non-Latin letters") << QStringList{"порт1"} << -1 << "ПОРТ1" << 0;
}

void TestPersistentSettings::selectComboItem() {
    QFETCH(QStringList, entries);
    QFETCH(int, selected);
    QFETCH(QString, text);
    QFETCH(int, expected);
    QComboBox box;
    box.addItems(entries);
    box.setCurrentIndex(selected);
    TMainKestromForm::SelectComboItem(&box, text);
    QCOMPARE(box.currentIndex(), expected);
    TMainKestromForm::SelectComboItem(nullptr, text); // no box: nothing happens
}

void TestPersistentSettings::storedPortAndChannel() {
    FormsFixture fx;
    writeConf(fx, "[General]\nCOM=com3\nCHANNEL=2\n");
    presentPorts({QStringLiteral("COM1"), QStringLiteral("COM3")});
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    f->show();
    QCOMPARE(f->PortsListComboBox->currentText(), QStringLiteral("COM3"));
    QCOMPARE(f->ConnectTypeComboBox->currentIndex(), int(chCable));
    QVERIFY(!f->PhoneNumber->isVisible()); // start-up arranged the window for the cable

    // Restoring the channel from the store alone does not rearrange the window; start-up
    // does that once, after everything is loaded.
    {
        QSettings s(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvak"),
                    QStringLiteral("Kestrom"));
        s.setValue(QStringLiteral("CHANNEL"), int(chIP));
    }
    QSignalSpy activated(f->ConnectTypeComboBox, &QComboBox::activated);
    f->LoadCOMSettings();
    QCOMPARE(f->ConnectTypeComboBox->currentIndex(), int(chIP));
    QCOMPARE(activated.count(), 0);
    QVERIFY(f->PortsListComboBox->isVisible());
    QVERIFY(!f->IPCombo->isVisible());
    QCOMPARE(f->FVerInfoWait, 60000);
}

void TestPersistentSettings::portFilledFromPairs() {
    FormsFixture fx;
    // 10.0.0.12 is listed after 10.0.0.1 and contains it: a lookup on 10.0.0.1 would pick 6000.
    writeConf(fx, "[General]\nCHANNEL=3\nLastIP=10.0.0.1\nLastPort=5000\n"
                  "IPPORT0=10.0.0.1:5000\nIPPORT1=10.0.0.12:6000\nIPPORT2=192.168.1.10:4001\n");
    fx.Create();
    TMainKestromForm* f = MainKestromForm;
    // Start-up shows the port used last, not one looked up for the restored address.
    QCOMPARE(f->IPCombo->currentText(), QStringLiteral("10.0.0.1"));
    QCOMPARE(f->PortCombo->currentText(), QStringLiteral("5000"));
    QCOMPARE(*f->FIPPort, (QStringList{"10.0.0.1:5000", "10.0.0.12:6000", "192.168.1.10:4001"}));

    // Typing a known address on the IP channel fills in its port from the pair history.
    f->IPCombo->setEditText(QStringLiteral("192.168.1.10"));
    QCOMPARE(f->PortCombo->currentText(), QStringLiteral("4001"));
    QVERIFY(f->URLLabel1->isEnabled());
}

void TestPersistentSettings::nextRunInSameProcess() {
    FormsFixture fx;
    presentPorts({QStringLiteral("ttyUSB0"), QStringLiteral("ttyUSB1")});
    fx.Create();
    useTheWindow(MainKestromForm);
    fx.Destroy();

    fx.Create();
    QCOMPARE(windowState(MainKestromForm), kExpectedNextRun);
}

void TestPersistentSettings::nextRunInNewProcess() {
    QTemporaryDir config;
    QVERIFY(config.isValid());
    auto run = [&](const QString& mode) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildMode, mode);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForFinished(60000))
            child.kill();
        child.waitForFinished(5000);
        return std::make_pair(child.exitCode(), QString::fromLocal8Bit(child.readAllStandardOutput()));
    };

    const auto saved = run(QStringLiteral("save"));
    QCOMPARE(saved.first, 0);
    // The program's own store location: $XDG_CONFIG_HOME/Norvak/Kestrom.conf.
    QVERIFY(QFileInfo::exists(confPath(config.path())));

    const auto loaded = run(QStringLiteral("load"));
    QCOMPARE(loaded.first, 0);
    QCOMPARE(loaded.second.split(QLatin1Char('\n'), Qt::SkipEmptyParts), kExpectedNextRun);
}

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QString childMode = qEnvironmentVariable(qPrintable(kChildMode));
    if (!childMode.isEmpty())
        return runChild(childMode);
    TestPersistentSettings tc;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_persistentsettings.moc"
