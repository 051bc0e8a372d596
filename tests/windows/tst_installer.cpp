// The Windows installer under Wine: the MSI scripts/windows makes, installed silently for the
// user into a private Wine prefix on a private X display, as a technician installs it. The
// Start-menu shortcut, the installed program's whole cable session on COM12 (a port Wine
// defines, found by the port list itself), an upgrade from an installer of a lower version
// (scripts/windows-msi makes it from the same files) that keeps the technician's setup.ini
// line and files and leaves one entry, a rebuild of the same version that replaces the
// installed one, the downgrade refused, and the uninstall.
//
// Skipped with the reason when the installer (scripts/windows), wixl, Wine or Xvfb is missing.
#include "PanelSim.h"
#include "TestForms.h"
#include "WineSession.h"
#include "WizardProcess.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString PortName = QStringLiteral("COM12");
const QString ShortcutName = QStringLiteral("Мастер подключения.lnk");
const QString TechnicianLine = QStringLiteral("ABC=abcsetup.exe");

QString windowsPath(const QString& path) {
    return QStringLiteral("Z:") + QDir::toNativeSeparators(path).replace(u'/', u'\\');
}

} // namespace

class TestInstaller : public QObject {
    Q_OBJECT

    QTemporaryDir FRoot;
    QString FUser; // the Wine user's folder
    QString FOldMsi;
    QString FRebuiltMsi;
    WineSession FWine;

    bool wine(const QStringList& args, int ms = 60000, QByteArray* out = nullptr) {
        return FWine.Wine(args, ms, out);
    }

    QString installDir() const { return FUser + "/AppData/Local/Programs/Kestrom"; }
    QString shortcut() const {
        return FUser + "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/" + ShortcutName;
    }

    // The installed products of this prefix as Wine's uninstaller lists them ("{code}|||name").
    QStringList entries() {
        QByteArray out;
        if (!wine({"uninstaller", "--list"}, 60000, &out))
            return {"(uninstaller failed)"};
        return QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts).filter("|||Kestrom");
    }

    // The user's installer registration of the product: its values by name.
    QMap<QString, QString> productRegistration() {
        QMap<QString, QString> values;
        QByteArray out;
        wine({"reg", "query", "HKCU\\Software\\Microsoft\\Installer\\Products", "/s"}, 60000, &out);
        for (const QByteArray& line : out.split('\n')) {
            // "    ProductName    REG_SZ    Kestrom"
            const QList<QByteArray> parts = line.simplified().split(' ');
            if (parts.size() >= 3 && parts[1].startsWith("REG_"))
                values[QString::fromLatin1(parts[0])] = QString::fromUtf8(parts.mid(2).join(' '));
        }
        return values;
    }

    // A table of an installer as msiinfo exports it.
    static QString table(const QString& msi, const QString& name) {
        QProcess p;
        p.start(QStringLiteral("msiinfo"), {"export", msi, name});
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return "(msiinfo failed)";
        return QString::fromUtf8(p.readAllStandardOutput());
    }

    bool makeMsi(const QString& version, const QString& out) {
        QProcess make;
        make.start(QStringLiteral(KESTROM_SOURCE_DIR "/scripts/windows-msi"),
                   {version, QStringLiteral(KESTROM_SOURCE_DIR "/dist/windows"), out});
        if (!make.waitForFinished(120000) || make.exitCode() != 0 || !QFileInfo::exists(out)) {
            qWarning("windows-msi %s: %s", qPrintable(version), make.readAllStandardError().constData());
            return false;
        }
        return true;
    }

    bool install(const QString& msi) { return wine({"msiexec", "/i", windowsPath(msi), "/qn"}, 180000); }

  private slots:
    void initTestCase() {
        const QString msi = QStringLiteral(KESTROM_WINDOWS_MSI);
        if (!QFileInfo::exists(msi))
            QSKIP(qPrintable("no installer at " + msi +
                             ": scripts/windows makes it where the Qt for Windows is at hand"));
        for (const char* tool : {"wine", "wineserver", "Xvfb", "wixl", "msibuild", "msiinfo"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        QVERIFY(FRoot.isValid());

        // The installer of a lower version, from the same files.
        FOldMsi = FRoot.filePath("kestrom-0.9.0.msi");
        QVERIFY(makeMsi("0.9.0", FOldMsi));
        // A rebuild of the current version: the same files under a new product code.
        FRebuiltMsi = FRoot.filePath("kestrom-rebuilt.msi");
        QVERIFY(makeMsi(QStringLiteral(KESTROM_VERSION), FRebuiltMsi));

        const QString wineFailed = FWine.Start(FRoot.path(), PortName);
        QVERIFY2(wineFailed.isEmpty(), qPrintable(wineFailed));

        const QStringList users = QDir(FWine.Prefix() + "/drive_c/users")
                                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                                      .filter(QRegularExpression("^(?!Public$)"));
        QCOMPARE(users.size(), 1);
        FUser = FWine.Prefix() + "/drive_c/users/" + users.first();
    }

    void cleanupTestCase() { FWine.Stop(); }

    // The texts the installer shows, and the upgrade that takes in its own version
    // (attributes 513: migrate features, maximum version inclusive).
    void tablesHoldTheirOwnTexts() {
        const QString msi = QStringLiteral(KESTROM_WINDOWS_MSI);
        const QString conditions = table(msi, "LaunchCondition");
        QVERIFY2(conditions.contains(
                     QStringLiteral("NOT WIX_DOWNGRADE_DETECTED\tУстановлена более новая версия программы.")),
                 qPrintable(conditions));
        const QString shortcuts = table(msi, "Shortcut");
        QVERIFY2(
            shortcuts.contains(QStringLiteral("StartMenuShortcut\tProgramMenuFolder\tМастер подключения\t")),
            qPrintable(shortcuts));
        const QString upgrades = table(msi, "Upgrade");
        QVERIFY2(upgrades.contains(QStringLiteral("\t513\t\tWIX_UPGRADE_DETECTED")), qPrintable(upgrades));
        QVERIFY2(upgrades.contains(QStringLiteral("\t2\t\tWIX_DOWNGRADE_DETECTED")), qPrintable(upgrades));
    }

    // The lower version first, the technician's own line and setup program added, then the
    // current installer over it.
    void upgradeKeepsTheTechniciansFiles() {
        QVERIFY(install(FOldMsi));
        QVERIFY(QFileInfo::exists(installDir() + "/kestrom.exe"));
        QCOMPARE(entries().size(), 1);
        QCOMPARE(productRegistration().value("ProductName"), QStringLiteral("Kestrom"));
        QFile ini(installDir() + "/setup.ini");
        QVERIFY(ini.open(QIODevice::Append));
        ini.write((TechnicianLine + "\r\n").toLatin1());
        ini.close();
        QFile own(installDir() + "/abcsetup.exe");
        QVERIFY(own.open(QIODevice::WriteOnly));
        own.write("MZ");
        own.close();

        QVERIFY(install(QStringLiteral(KESTROM_WINDOWS_MSI)));
        const QStringList after = entries();
        QVERIFY2(after.size() == 1, qPrintable(after.join(u'\n')));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        const QString text = QString::fromLatin1(ini.readAll());
        QVERIFY2(text.contains(TechnicianLine) && text.contains("WINPANEL=setup-sim.exe"), qPrintable(text));
        QVERIFY(QFileInfo::exists(installDir() + "/abcsetup.exe"));
        // The entry in "Apps and features": the product's icon kept by the installer service.
        const QString icon = productRegistration().value("ProductIcon");
        QVERIFY2(icon.endsWith("kestrom.ico"), qPrintable(icon));
    }

    // A rebuilt installer of the installed version replaces it, and the first one it in turn;
    // a lower version is refused over them.
    void sameVersionReplacesAndLowerIsRefused() {
        QVERIFY(install(FRebuiltMsi));
        QStringList now = entries();
        QVERIFY2(now.size() == 1, qPrintable(now.join(u'\n')));
        QVERIFY(install(QStringLiteral(KESTROM_WINDOWS_MSI)));
        const QStringList back = entries();
        QVERIFY2(back.size() == 1 && back != now, qPrintable(back.join(u'\n')));
        QVERIFY(QFileInfo::exists(installDir() + "/abcsetup.exe"));

        QVERIFY(!install(FOldMsi));
        now = entries();
        QVERIFY2(now == back, qPrintable(now.join(u'\n')));
    }

    void shortcutStartsTheInstalledProgram() {
        QFile link(shortcut());
        QVERIFY2(link.open(QIODevice::ReadOnly), qPrintable(shortcut()));
        const QByteArray bytes = link.readAll();
        const QString target = QStringLiteral("\\AppData\\Local\\Programs\\Kestrom\\kestrom.exe");
        QVERIFY2(
            bytes.contains(target.toLatin1()) ||
                bytes.contains(QByteArray(reinterpret_cast<const char*>(target.utf16()), target.size() * 2)),
            bytes.toHex().constData());
    }

    // The installed program, started as the shortcut starts it, on COM12 with the whole
    // session: empty when it all happened, else what did not. ownerUnknown: the bridge closed
    // a connection whose program it could not tell.
    QString installedSession(bool& ownerUnknown) {
        ownerUnknown = false;
        QTemporaryDir dir;
        QFile script(dir.filePath("script.txt"));
        if (!script.open(QIODevice::WriteOnly))
            return "no script file";
        script.write(WholeSessionScript());
        script.close();
        PanelSim panel;
        QFile::remove(FRoot.filePath(PortName));
        if (!panel.startPty() || !QFile::link(panel.portName(), FRoot.filePath(PortName)))
            return "no panel on COM12";
        const QString server = QString::number(FreeTcpPort());
        QProcessEnvironment env = FWine.Env();
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_TEST_DRIVE",
                   QStringLiteral("channel=2 port=%1 code=1234 server=%2 log connect commands")
                       .arg(PortName, server));
        env.insert("KESTROM_SETUP_PORT", server);
        env.insert("KESTROM_SETUP_MODE", "script");
        env.insert("KESTROM_SETUP_SCRIPT", windowsPath(dir.filePath("script.txt")));
        env.insert("KESTROM_SETUP_RECORD", windowsPath(dir.filePath("record.txt")));
        WizardProcess w({"wine", installDir() + "/kestrom.exe"}, env);
        if (!w.start() || !w.waitForLine("TEST channel ", 60000))
            return "the installed program did not start\n" + w.tail();
        if (w.reported("TEST window ") != QStringLiteral("Мастер подключения v.1.0.0.0"))
            return "caption " + w.reported("TEST window ");
        if (!w.reported("TEST ports ").split(u',').contains(PortName))
            return "COM12 not listed: " + w.reported("TEST ports ");
        QString failure = RunWholeCableSession(w, panel, dir.filePath("record.txt"));
        ownerUnknown =
            w.logBodies().contains(" Подключение к мосту закрыто: не удалось определить, чья это программа.");
        w.command("close");
        if (failure.isEmpty() && !w.waitForExit(30000))
            failure = "the window did not close";
        if (failure.isEmpty() && w.exitCode() != 0)
            failure = QStringLiteral("exit code %1").arg(w.exitCode());
        if (!failure.isEmpty()) {
            w.kill();
            return failure + "\n" + w.tail();
        }
        return {};
    }

    void installedProgramRunsCableSession() {
        bool ownerUnknown = false;
        QString failure = installedSession(ownerUnknown);
        if (!failure.isEmpty() && ownerUnknown) {
            // Under Wine the TCP table now and then names no owner for a connection just made
            // (seen in 2 of 9 runs here), and the bridge rightly closes it: the session once
            // more, then it counts.
            qWarning("the bridge could not tell the setup program's owner under Wine; once more");
            failure = installedSession(ownerUnknown);
        }
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void uninstallLeavesOnlyTheTechniciansOwn() {
        QVERIFY(wine({"msiexec", "/x", windowsPath(QStringLiteral(KESTROM_WINDOWS_MSI)), "/qn"}, 180000));
        QCOMPARE(entries(), QStringList());
        QVERIFY(!QFileInfo::exists(shortcut()));
        QStringList left = QDir(installDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        left.sort();
        QCOMPARE(left, (QStringList{"abcsetup.exe", "setup.ini"}));
        // The choices the session saved stay in the registry.
        QByteArray out;
        QVERIFY(wine({"reg", "query", "HKCU\\Software\\Norvak\\Kestrom", "/v", "COM"}, 60000, &out));
        QVERIFY2(out.contains(PortName.toLatin1()), out.constData());
    }
};

QTEST_MAIN(TestInstaller)
#include "tst_installer.moc"
