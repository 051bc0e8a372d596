// Faults a technician's machine can have, tried for real: damaged files, a device that
// answers badly on a real pseudo-terminal, a temporary directory or disk that refuses
// writes (a tiny tmpfs mounted for the test when running as root), setup programs that
// cannot run. Each must end in a clear message, with nothing lost that could be kept.
#include "PanelSim.h"
#include "Scenario.h"
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"
#include "log/TimeFuncs.h"
#include "settings/SettingsStore.h"
#include "settings/SetupIni.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>
#include <QTcpServer>
#include <QtTest>
#include <sys/mount.h>
#include <unistd.h>

namespace {

// A tmpfs of `size` mounted on `dir` for the test's lifetime: "full" past its size, or
// read-only after makeReadOnly(). Needs root (CI runs as root); the tests skip without.
class TinyMount {
  public:
    TinyMount(const QString& dir, const QByteArray& size)
        : FDir(QFile::encodeName(dir)), FOptions("size=" + size) {
        QDir().mkpath(dir);
        FMounted = ::mount("tmpfs", FDir.constData(), "tmpfs", 0, FOptions.constData()) == 0;
    }
    ~TinyMount() {
        if (FMounted)
            ::umount2(FDir.constData(), MNT_DETACH);
    }
    bool mounted() const { return FMounted; }
    bool makeReadOnly() {
        return ::mount("tmpfs", FDir.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, FOptions.constData()) == 0;
    }

  private:
    QByteArray FDir, FOptions;
    bool FMounted = false;
};

#define MOUNT_OR_SKIP(m)                                                                                     \
    if (!(m).mounted())                                                                                      \
    QSKIP("mounting a tmpfs needs root")

QByteArray utf16(const QString& text, bool bigEndian) {
    QByteArray out = bigEndian ? QByteArray("\xFE\xFF", 2) : QByteArray("\xFF\xFE", 2);
    for (const QChar c : text) {
        const char hi = char(c.unicode() >> 8), lo = char(c.unicode() & 0xFF);
        out.append(bigEndian ? hi : lo);
        out.append(bigEndian ? lo : hi);
    }
    return out;
}

bool logHas(const QString& needle) {
    for (const QString& l : LogLines())
        if (l.contains(needle))
            return true;
    return false;
}

#define BYTES(literal) QByteArray(literal, sizeof(literal) - 1)

const QByteArray SimIni = "SIMPANEL=setup-sim\r\n";

// The main window on the cable channel, the panel simulator on a pseudo-terminal as the only
// port, the sample setup program beside the "executable", a private server port.
struct Bench {
    FormsFixture fx;
    PanelSim panel;
    explicit Bench(const PanelSim::Config& config, const QByteArray& ini = SimIni) {
        fx.WriteSetupIni(ini);
        QFile::copy(KESTROM_SETUP_SIM, fx.appDir() + "/setup-sim");
        panel.setConfig(config);
        panel.startPty();
        const QString name = panel.portName();
        SetCOMPortEnumeratorForTest([name] { return QStringList{name}; });
        fx.Create();
        LOGForm->show();
        MainKestromForm->ConnectTypeComboBox->setCurrentIndex(chCable);
        MainKestromForm->ConnectTypeComboBoxChange();
        TCPServerSettingsForm->PortEdit->setText(QString::number(FreeTcpPort()));
        qputenv("KESTROM_SETUP_PORT", TCPServerSettingsForm->PortEdit->text().toLatin1());
        qputenv("KESTROM_SETUP_MODE", "sink");
    }
    ~Bench() {
        SetTickClockForTest(0, 1);
        SetCOMPortEnumeratorForTest({});
    }
    // Clicks "Подключить"; a connection that comes up is ended once the setup program is in.
    bool connect() {
        Scenario s([] { MainKestromForm->FConnected = false; });
        s.step(
            "setup program connected", [] { return MainKestromForm->FSetupConnected; },
            [] { MainKestromForm->FConnected = false; });
        s.start();
        MainKestromForm->URLLabel1->Click();
        return s.finished();
    }
};

} // namespace

class TestFaults : public QObject {
    Q_OBJECT
  private slots:
    void cleanup() { Platform::SetSaveFileNameHandler({}); }

    // setup.ini as editors and disks leave it: the flags and the program are read from
    // whatever lines are sound, and nothing else is taken for a key.
    void setupIniFiles_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("flags"); // "oldConnect sp rb proto"
        QTest::addColumn<QString>("program");
        const QString noFlags = "0 0 0 0";

        QTest::newRow("empty") << QByteArray() << noFlags << "";
        QByteArray binary(64 * 1024, Qt::Uninitialized);
        QRandomGenerator rng(11);
        for (char& c : binary)
            c = char(rng.bounded(256));
        binary[0] = 'x'; // no byte-order mark by chance
        QTest::newRow("binary with sound lines after it") << binary + "\r\nRB=1\nSIMPANEL=prog\r\n"
                                                          << "0 0 1 0"
                                                          << "prog";
        QTest::newRow("binary only") << binary.left(4096) << noFlags << "";
        QByteArray big;
        while (big.size() < 10 * 1024 * 1024)
            big += "FILLER" + QByteArray::number(big.size()) + "=" + QByteArray(80, 'f') + "\r\n";
        QTest::newRow("10 MiB, keys at the end") << big + "SP=1\r\nPROTO=1\r\nSIMPANEL=prog"
                                                 << "0 1 0 1"
                                                 << "prog";
        QTest::newRow("UTF-8 with BOM: the mark is not part of the first key")
            << QByteArray("\xEF\xBB\xBFOLDCONNECT=1\r\nСИМ=прог\r\nSIMPANEL=prog") << "1 0 0 0"
            << "prog";
        QTest::newRow("UTF-8 without BOM")
            << QString("OLDCONNECT=1\nSIMPANEL=программа\n").toUtf8() << "1 0 0 0"
            << "программа";
        QTest::newRow("UTF-16 LE with BOM") << utf16("RB=1\r\nSIMPANEL=программа\r\n", false) << "0 0 1 0"
                                            << "программа";
        QTest::newRow("UTF-16 BE with BOM, odd last byte dropped")
            << utf16("OLDCONNECT=1\rSIMPANEL=prog", true) + "\x01"
            << "1 0 0 0"
            << "prog";
        QTest::newRow("Windows-1251 without BOM")
            << QByteArray("SP=1\r\nSIMPANEL=\xef\xf0\xee\xe3\r\n") << "0 1 0 0"
            << "прог";
        QTest::newRow("NUL inside keys matches nothing")
            << BYTES("R\0B=1\r\nSIMPANEL\0=bad\r\nSP=1\r\nSIMPANEL=prog\r\n") << "0 1 0 0"
            << "prog";
        QTest::newRow("NUL after a flag spoils only that flag") << BYTES("RB=1\0\r\nSP=1\r\n") << "0 1 0 0"
                                                                << "";
    }
    void setupIniFiles() {
        QFETCH(QByteArray, content);
        QFETCH(QString, flags);
        QFETCH(QString, program);
        QTemporaryDir dir;
        const QString ini = dir.filePath("setup.ini");
        QFile f(ini);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QCOMPARE(f.write(content), content.size());
        f.close();

        const SetupIni::SetupFlags read = SetupIni::readFlags(ini);
        QVERIFY2(read.fileRead, qPrintable(read.error));
        QCOMPARE(QString("%1 %2 %3 %4").arg(read.oldConnect).arg(read.sp).arg(read.rb).arg(read.proto),
                 flags);
        bool found = false;
        QCOMPARE(SetupIni::programFor(ini, "simpanel", &found), program);
        QVERIFY(found);
    }

    void setupIniThatIsADirectoryIsNamed() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("setup.ini"));
        const SetupIni::SetupFlags read = SetupIni::readFlags(dir.filePath("setup.ini"));
        QVERIFY(!read.fileRead);
        QVERIFY2(read.error.contains(dir.filePath("setup.ini")), qPrintable(read.error));
    }

    // A damaged settings file: the wizard starts with empty histories (Qt refuses a file it
    // cannot parse as a whole), the channel list is usable, and a new choice can be saved.
    void settingsFileCorrupted() {
        FormsFixture fx;
        QDir().mkpath(fx.configDir() + "/Norvak");
        QFile conf(fx.configDir() + "/Norvak/Kestrom.conf");
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write(BYTES("\x01\x02\xff\xfe=\0\0\n[\x80\x81\n\\x\\y=\"unterminated\n@Variant(\\0\\x7f)\n") +
                   "[General]\nphone1=555\nIP0=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x18garbage)\nCHANNEL=2\n");
        conf.close();
        fx.Create();
        QVERIFY(MainKestromForm->PhoneNumber->count() <= 1);
        QCOMPARE(MainKestromForm->IPCombo->count(), 0); // the damaged value reads as missing
        const int channel = MainKestromForm->ConnectTypeComboBox->currentIndex();
        QVERIFY(channel >= 0 && channel <= 3);
    }

    void settingsFileReadOnlyIsReported() {
        FormsFixture fx;
        TinyMount mount(fx.configDir() + "/Norvak", "64k");
        MOUNT_OR_SKIP(mount);
        QFile conf(fx.configDir() + "/Norvak/Kestrom.conf");
        QVERIFY(conf.open(QIODevice::WriteOnly));
        conf.write("[General]\nphone1=555\n");
        conf.close();
        QVERIFY(mount.makeReadOnly());
        fx.Create();
        LOGForm->show();
        MainKestromForm->SavePhoneNumber("777");
        QVERIFY2(logHas(" Не удалось сохранить настройки в " + conf.fileName()),
                 qPrintable(LogLines().join('\n')));
        // What was stored is still there.
        QVERIFY(conf.open(QIODevice::ReadOnly));
        QCOMPARE(conf.readAll(), QByteArray("[General]\nphone1=555\n"));
    }

    void settingsDirectoryMissingIsMade() {
        FormsFixture fx;
        const QString gone = fx.configDir() + "/not/yet";
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, gone);
        fx.Create();
        LOGForm->show();
        MainKestromForm->SavePhoneNumber("777");
        MainKestromForm->SaveCOMSettings();
        QVERIFY(!logHas("Не удалось сохранить настройки"));
        QVERIFY(QFile::exists(gone + "/Norvak/Kestrom.conf"));
        QCOMPARE(ModeOf(gone + "/Norvak/Kestrom.conf"), 0600); // made private, never readable by others
        QCOMPARE(SettingsStore().readString("phone1"), std::optional<QString>("777"));
    }

    // The serial handshake over a real pseudo-terminal with answers no sound panel gives.
    void deviceAnswers_data() {
        QTest::addColumn<bool>("oldStyle");
        QTest::addColumn<QByteArray>("answer"); // the standard dialogue's gets "OK\r\n" after it
        QTest::addColumn<bool>("connects");
        QTest::addColumn<QString>("logged");
        QTest::newRow("no terminator") << true << QByteArray("\r\nSIMPANEL.01.00\r\n") << false
                                       << " Ответ устройства не завершен (нет \"OK\"), получено байт: 18";
        QByteArray big;
        while (big.size() < 1024 * 1024)
            big += QByteArray::number(big.size()) + ' ';
        QTest::newRow("1 MiB without terminator")
            << true << big << false << " Ответ устройства не завершен (нет \"OK\"), получено байт: ";
        QTest::newRow("NULs around and inside the answer")
            << false << BYTES("\0\0+VER_INFO=1,\"SIMPANEL.01.00\",\"\0\"\r\n") << true
            << " Оболочка подключилась к мосту.";
    }
    void deviceAnswers() {
        QFETCH(bool, oldStyle);
        QFETCH(QByteArray, answer);
        QFETCH(bool, connects);
        QFETCH(QString, logged);
        PanelSim::Config config;
        config.dialect = oldStyle ? PanelSim::Dialect::OldStyle : PanelSim::Dialect::Standard;
        config.oldVersionAnswer = answer;
        config.versionAnswer = answer;
        Bench b(config, oldStyle ? "OLDCONNECT=1\r\n" + SimIni : SimIni);
        if (!connects)
            SetTickClockForTest(0, 20); // the 5 s answer limit passes in a quarter second
        QCOMPARE(b.connect(), connects);
        QVERIFY2(logHas(logged), qPrintable(LogLines().join('\n').left(4000)));
        if (connects) {
            QVERIFY(b.fx.boxes.boxes.isEmpty());
        } else {
            // Said once, and the collected bytes stay within what arrived.
            QCOMPARE(b.fx.boxes.boxes.size(), 1);
            QCOMPARE(b.fx.boxes.boxes[0].caption, QStringLiteral("Ошибка"));
            QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
            QCOMPARE(MainKestromForm->FCOMHandle, -1);
        }
    }

    // The setup program cannot be copied to the temporary directory: one box that says so,
    // no half copy left behind, the window ready for the next attempt.
    void tempDirUnusable_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("names a file") << "file";
        QTest::newRow("read-only") << "read-only";
        QTest::newRow("full") << "full";
    }
    void tempDirUnusable() {
        QFETCH(QString, kind);
        Bench b(PanelSim::Config{});
        const QString temp = b.fx.tempDir() + "/t";
        std::unique_ptr<TinyMount> mount;
        if (kind == "file") {
            QFile f(temp);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else {
            mount = std::make_unique<TinyMount>(temp, "16k"); // the setup program is far larger
            MOUNT_OR_SKIP(*mount);
            if (kind == "read-only")
                QVERIFY(mount->makeReadOnly());
        }
        Platform::SetTempPathForTest(temp);
        QVERIFY(!b.connect());
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        const QString text = b.fx.boxes.boxes[0].text;
        // Named: the temporary directory, or the private one made in it when only the copy failed.
        QVERIFY2(text.startsWith("Оболочка не запущена, не удалось скопировать " + b.fx.appDir() +
                                 "/setup-sim во временную папку " + temp + "/") &&
                     text.contains("/: "),
                 qPrintable(text));
        QCOMPARE(b.fx.boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QVERIFY(logHas(" Не удалось скопировать "));
        QVERIFY(logHas(" Установили \"Нет подключения\", главный цикл, нет программы настройки"));
        if (kind == "full") {
            QDirIterator left(temp, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            QVERIFY2(!left.hasNext(), qPrintable(left.next()));
        }
        QVERIFY(!MainKestromForm->FSetupIsStarted);
        QVERIFY(MainKestromForm->FVerInfo.isEmpty());
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
        QVERIFY(!MainKestromForm->ServerSocket->isListening());
    }

    void setupProgramCannotRun_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("executeBit");
        QTest::addColumn<QString>("why"); // empty: the system's reason
        QFile sim(KESTROM_SETUP_SIM);
        QVERIFY(sim.open(QIODevice::ReadOnly));
        QTest::newRow("no execute bit") << sim.readAll() << false << "";
        QTest::newRow("not an executable") << BYTES("MZ\x90\0 a Windows program") << true << "";
        // A Windows program where Wine is not installed (not on PATH).
        QByteArray pe(0x40, '\0');
        pe[0] = 'M';
        pe[1] = 'Z';
        pe[0x3C] = 0x40;
        QTest::newRow("Windows program, no Wine")
            << pe + QByteArray("PE\0\0", 4) << false << "не установлен Wine: sudo apt install wine";
    }
    void setupProgramCannotRun() {
        QFETCH(QByteArray, content);
        QFETCH(bool, executeBit);
        QFETCH(QString, why);
        const QByteArray path = qgetenv("PATH");
        const auto restorePath = qScopeGuard([&] { qputenv("PATH", path); });
        QTemporaryDir noWine;
        qputenv("PATH", QFile::encodeName(noWine.path()));
        Bench b(PanelSim::Config{});
        const QString program = b.fx.appDir() + "/setup-sim";
        QFile f(program);
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
        f.close();
        QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
        if (executeBit)
            perms |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        QVERIFY(f.setPermissions(perms));

        QVERIFY(!b.connect());
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        const QString text = b.fx.boxes.boxes[0].text;
        QVERIFY2(
            text.startsWith("Оболочка не запущена, не удалось запустить " + b.fx.tempDir() + "/kestrom-") &&
                text.contains("/setup-sim.exe: " + why),
            qPrintable(text));
        QVERIFY(!QFile::exists(text.section(": ", 0, 0).section(' ', -1))); // its copy is gone
        QVERIFY(logHas(" Не удалось запустить "));
        QVERIFY(!MainKestromForm->FSetupIsStarted);
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
    }

    // A failed start shows its own box in place of the relay's; a later attempt that fails
    // before the program is even looked for still gets both of its boxes.
    void laterFailureAfterAFailedStart_data() {
        QTest::addColumn<bool>("noTempDir"); // else setup.ini has gone
        QTest::addColumn<QString>("box");
        QTest::newRow("no temporary directory") << true << "Оболочка не запущена, системная ошибка";
        QTest::newRow("no setup.ini") << false << "Оболочка не запущена, не найден файл настроек";
    }
    void laterFailureAfterAFailedStart() {
        QFETCH(bool, noTempDir);
        QFETCH(QString, box);
        Bench b(PanelSim::Config{});
        QVERIFY(QFile::setPermissions(b.fx.appDir() + "/setup-sim", QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY(!b.connect());
        QCOMPARE(b.fx.boxes.boxes.size(), 1);
        QVERIFY(b.fx.boxes.boxes[0].text.startsWith("Оболочка не запущена, не удалось запустить "));

        b.fx.boxes.boxes.clear();
        if (noTempDir)
            Platform::SetTempPathForTest(QStringLiteral(""));
        else
            QVERIFY(QFile::remove(b.fx.appDir() + "/setup.ini"));
        // The panel is relaying by now and never answers the version request again.
        SetTickClockForTest(0, 20);
        QVERIFY(!b.connect());
        QCOMPARE(b.fx.boxes.texts(),
                 (QStringList{box, "Программа настройки для данного прибора не обнаружена, либо прибор не "
                                   "доступен, либо не указан мастер-код."}));
        QCOMPARE(MainKestromForm->URLLabel1->Tag, 0);
    }

    // Saving the traffic log where it cannot go: a box with the reason, the lines kept.
    void logSaveRefused_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("full disk (/dev/full)") << "full";
        QTest::newRow("read-only place") << "read-only";
        QTest::newRow("another account's file") << "foreign";
    }
    void logSaveRefused() {
        QFETCH(QString, kind);
        FormsFixture fx;
        fx.Create();
        LOGForm->show();
        for (int i = 0; i < 500; ++i)
            MainKestromForm->AddLog(QString("line %1 ").arg(i) + QString(60, 'x'), "COM->TCP");
        std::unique_ptr<TinyMount> mount;
        QString path = "/dev/full";
        if (kind == "read-only") {
            mount = std::make_unique<TinyMount>(fx.tempDir() + "/ro", "16k");
            MOUNT_OR_SKIP(*mount);
            QVERIFY(mount->makeReadOnly());
            path = fx.tempDir() + "/ro/traffic.log";
        } else if (kind == "foreign") {
            // Its owner could read the master code the log shows: it is not written into.
            path = fx.tempDir() + "/traffic.log";
            QFile planted(path);
            QVERIFY(planted.open(QIODevice::WriteOnly));
            planted.close();
            if (::chown(QFile::encodeName(path).constData(), 65534, 65534) != 0)
                QSKIP("only root can give a file to another account here");
        }
        Platform::SetSaveFileNameHandler([&] { return path; });
        const QStringList before = LogLines();
        LOGForm->N2Click();
        QCOMPARE(fx.boxes.boxes.size(), 1);
        QCOMPARE(fx.boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QVERIFY2(fx.boxes.boxes[0].text.startsWith("Не удалось сохранить файл " + path + ": "),
                 qPrintable(fx.boxes.boxes[0].text));
        QCOMPARE(LogLines(), before);
        if (kind == "foreign")
            QCOMPARE(QFileInfo(path).size(), 0);
    }
};

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
