// The Debian package: packed by cpack from this build tree, installed with dpkg into a
// throw-away root, started from its installed path, removed again.
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
    bool ok() const { return exitCode == 0; }
    QString both() const { return out + err; }
};

Run run(const QString& program, const QStringList& args, int timeoutMs = 60000) {
    QProcess p;
    p.start(program, args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("%1 did not end within %2 ms").arg(program).arg(timeoutMs);
        return r;
    }
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

// Package names of a Depends field; of alternatives the first.
QStringList dependencyNames(const QString& field) {
    QStringList names;
    for (const QString& item : field.split(QLatin1Char(','), Qt::SkipEmptyParts))
        names << item.split(QLatin1Char('|'))
                     .first()
                     .trimmed()
                     .section(QLatin1Char(' '), 0, 0)
                     .section(QLatin1Char(':'), 0, 0);
    return names;
}

// Everything below root but dpkg's own database.
QStringList entriesOutsideDatabase(const QString& root) {
    QStringList left;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = QDir(root).relativeFilePath(it.next());
        if (rel == QLatin1String("var") || rel == QLatin1String("var/lib") ||
            rel.startsWith(QLatin1String("var/lib/dpkg")))
            continue;
        left << rel;
    }
    left.sort();
    return left;
}

} // namespace

class TestPackage : public QObject {
    Q_OBJECT

    QTemporaryDir FWork;
    QString FDeb;
    QString FRoot;
    QString FDpkg;

    Run dpkg(const QStringList& args) {
        // --force-not-root lets a plain user install into the throw-away root as well.
        return run(FDpkg,
                   QStringList{QStringLiteral("--root=") + FRoot, QStringLiteral("--force-not-root")} + args);
    }
    QString installed(const QString& rel) const { return FRoot + QLatin1Char('/') + rel; }

  private slots:
    void initTestCase() {
        FDpkg = QStandardPaths::findExecutable(QStringLiteral("dpkg"));
        if (FDpkg.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("dpkg-deb")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("dpkg-shlibdeps")).isEmpty())
            QSKIP("dpkg, dpkg-deb or dpkg-shlibdeps missing (Debian packages dpkg, dpkg-dev)");
        QVERIFY(FWork.isValid());
        const QString out = FWork.filePath(QStringLiteral("out"));
        const Run pack =
            run(QStringLiteral(KESTROM_CPACK),
                {QStringLiteral("--config"), QStringLiteral(KESTROM_CPACK_CONFIG), QStringLiteral("-B"), out},
                120000);
        QVERIFY2(pack.ok(), qPrintable(pack.both()));
        const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files);
        QCOMPARE(debs.size(), 1);
        FDeb = out + QLatin1Char('/') + debs.first();
        QVERIFY2(
            QFileInfo(FDeb).fileName().startsWith(QStringLiteral("kestrom_" KESTROM_PROJECT_VERSION "_")),
            qPrintable(FDeb));

        // An empty system: nothing but dpkg's database.
        FRoot = FWork.filePath(QStringLiteral("root"));
        QVERIFY(QDir().mkpath(FRoot + QStringLiteral("/var/lib/dpkg/updates")));
        QVERIFY(QDir().mkpath(FRoot + QStringLiteral("/var/lib/dpkg/info")));
        QFile status(FRoot + QStringLiteral("/var/lib/dpkg/status"));
        QVERIFY(status.open(QIODevice::WriteOnly));
    }

    void declaresItsRunTimeDependencies() {
        const Run fields =
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), FDeb, QStringLiteral("Depends")});
        QVERIFY2(fields.ok(), qPrintable(fields.both()));
        const QStringList depends = dependencyNames(fields.out);
        // Wine runs the panels' Windows setup programs; optional, so suggested.
        const Run suggests =
            run(QStringLiteral("dpkg-deb"), {QStringLiteral("--field"), FDeb, QStringLiteral("Suggests")});
        QCOMPARE(dependencyNames(suggests.out), QStringList{QStringLiteral("wine")});
        // Found by dpkg-shlibdeps in the programs, and the platform plugins named by hand.
        for (const char* name :
             {"libc6", "libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6network6", "qt6-qpa-plugins"})
            QVERIFY2(depends.contains(QLatin1String(name)),
                     qPrintable(name + (QStringLiteral(" not in ") + fields.out)));
        // Each is a real package: the machine that built the programs has them all.
        for (const QString& name : depends) {
            const Run q = run(QStringLiteral("dpkg-query"),
                              {QStringLiteral("-W"), QStringLiteral("-f=${Status}"), name});
            QVERIFY2(q.out.contains(QStringLiteral("install ok installed")),
                     qPrintable(name + QLatin1Char(' ') + q.both()));
        }
    }

    void installsIntoAnEmptyRoot() {
        // The throw-away root has no libraries registered, hence --force-depends.
        const Run install = dpkg({QStringLiteral("--force-depends"), QStringLiteral("--install"), FDeb});
        QVERIFY2(install.ok(), qPrintable(install.both()));
        const Run status = dpkg({QStringLiteral("--status"), QStringLiteral("kestrom")});
        QVERIFY2(status.out.contains(QStringLiteral("Status: install ok installed")),
                 qPrintable(status.both()));
    }

    void installedFiles_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("kind");
        // Its symbol table stays, so that its crash reports name its functions.
        QTest::newRow("program") << "usr/lib/kestrom/kestrom"
                                 << "program with symbols";
        QTest::newRow("crash report helper") << "usr/lib/kestrom/kestrom-crash-report"
                                             << "program";
        // The technician's lines for the panels' programs survive upgrades: a conffile in
        // /etc, and the program reads it beside itself through a link.
        QTest::newRow("setup.ini, a conffile") << "etc/kestrom/setup.ini"
                                               << "conffile";
        QTest::newRow("setup.ini beside it") << "usr/lib/kestrom/setup.ini"
                                             << "absolute link to /etc/kestrom/setup.ini";
        QTest::newRow("sample setup program") << "usr/lib/kestrom/setup-sim"
                                              << "program";
        if (!QString(KESTROM_SETUP_SIM_EXE).isEmpty())
            QTest::newRow("sample setup program for Wine") << "usr/lib/kestrom/setup-sim.exe"
                                                           << "windows program";
        QTest::newRow("panel simulator") << "usr/lib/kestrom/panel-sim"
                                         << "program";
        QTest::newRow("command") << "usr/bin/kestrom"
                                 << "link to usr/lib/kestrom/kestrom";
        QTest::newRow("desktop entry") << "usr/share/applications/kestrom.desktop"
                                       << "file";
        QTest::newRow("scalable icon") << "usr/share/icons/hicolor/scalable/apps/kestrom.svg"
                                       << "file";
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
            QTest::newRow(qPrintable(QStringLiteral("icon %1").arg(size)))
                << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/kestrom.png").arg(size)
                << QStringLiteral("png %1").arg(size);
        QTest::newRow("manual page") << "usr/share/man/man1/kestrom.1.gz"
                                     << "file";
        QTest::newRow("copyright") << "usr/share/doc/kestrom/copyright"
                                   << "file";
    }
    void installedFiles() {
        QFETCH(QString, path);
        QFETCH(QString, kind);
        const QFileInfo info(installed(path));
        QVERIFY2(info.exists() || info.isSymLink(),
                 qPrintable(info.filePath())); // an absolute link leads out of the root
        if (kind == QLatin1String("program") || kind == QLatin1String("program with symbols")) {
            QVERIFY(info.isFile() && info.isExecutable());
            const Run sections = run(QStringLiteral("readelf"), {QStringLiteral("-S"), info.filePath()});
            QVERIFY2(sections.ok(), qPrintable(sections.both()));
            QCOMPARE(sections.out.contains(QLatin1String(".symtab")), kind != QLatin1String("program"));
            QVERIFY(!sections.out.contains(QLatin1String(".debug_info")));
        } else if (kind == QLatin1String("windows program")) {
            QFile f(info.filePath());
            QVERIFY(f.open(QIODevice::ReadOnly));
            QVERIFY(f.read(2) == "MZ");
            QVERIFY(!info.isExecutable()); // Wine needs no execute bit; not an ELF program
        } else if (kind == QLatin1String("conffile")) {
            QVERIFY(info.isFile() && info.size() > 0);
            const Run conffiles = run(QStringLiteral("dpkg-deb"),
                                      {QStringLiteral("--info"), FDeb, QStringLiteral("conffiles")});
            QVERIFY2(conffiles.out.split(QLatin1Char('\n')).contains(QLatin1Char('/') + path),
                     qPrintable(conffiles.both()));
        } else if (kind.startsWith(QLatin1String("absolute link to "))) {
            QCOMPARE(QFile::symLinkTarget(info.filePath()), kind.mid(17));
        } else if (kind.startsWith(QLatin1String("link to "))) {
            // Relative, so it leads to the program inside this root too.
            QVERIFY(info.isSymLink());
            QVERIFY2(!info.symLinkTarget().isEmpty() && QFileInfo(info.symLinkTarget()).isFile(),
                     qPrintable(info.symLinkTarget()));
            QCOMPARE(info.canonicalFilePath(), QFileInfo(installed(kind.mid(8))).canonicalFilePath());
        } else if (kind.startsWith(QLatin1String("png "))) {
            const int size = kind.mid(4).toInt();
            QCOMPARE(QImage(info.filePath()).size(), QSize(size, size));
        } else {
            QVERIFY(info.isFile() && info.size() > 0);
        }
    }

    void desktopEntry() {
        QFile f(installed(QStringLiteral("usr/share/applications/kestrom.desktop")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (const char* line :
             {"Name=Мастер подключения", "Exec=kestrom", "Icon=kestrom", "Categories=Utility;Network;"})
            QVERIFY2(
                text.contains(QRegularExpression(
                    QLatin1Char('^') + QRegularExpression::escape(QString::fromUtf8(line)) + QLatin1Char('$'),
                    QRegularExpression::MultilineOption)),
                line);
        const QString validate = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
        if (validate.isEmpty())
            QSKIP("desktop-file-validate missing (Debian package desktop-file-utils)");
        const Run v = run(validate, {f.fileName()});
        QVERIFY2(v.ok(), qPrintable(v.both()));
        // Two main categories are asked for; the validator's hint about it is no fault.
        for (const QString& line : v.both().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            QVERIFY2(line.contains(QStringLiteral(": hint: ")), qPrintable(line));
    }

    void installedProgramStartsAndReadsItsSetupIni() {
        // The link is absolute, as it must be on the real system; in this throw-away root it
        // is pointed at the root's own /etc.
        const QString ini = installed(QStringLiteral("usr/lib/kestrom/setup.ini"));
        QVERIFY(QFile::remove(ini));
        QVERIFY(QFile::link(QStringLiteral("../../../etc/kestrom/setup.ini"), ini));
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        auto closeWatch = qScopeGuard([watch] { ::close(watch); });
        QVERIFY(inotify_add_watch(watch, QFile::encodeName(ini).constData(), IN_OPEN) >= 0);

        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
        env.insert(QStringLiteral("HOME"), home.path());
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
        env.insert(QStringLiteral("TMPDIR"), home.path()); // its own single-instance guard
        env.insert(QStringLiteral("KESTROM_BOXES_TO_STDERR"), QStringLiteral("1"));
        env.remove(QStringLiteral("KESTROM_EXTRA_PORTS"));

        QProcess wizard;
        wizard.setProcessEnvironment(env);
        wizard.setProcessChannelMode(QProcess::MergedChannels);
        wizard.start(installed(QStringLiteral("usr/bin/kestrom")), {});
        QVERIFY2(wizard.waitForStarted(), qPrintable(wizard.errorString()));
        auto stop = qScopeGuard([&wizard] {
            wizard.kill();
            wizard.waitForFinished();
        });

        // The program opens setup.ini beside its real path while it builds the main window.
        bool opened = false;
        const auto openedOrEnded = [&] {
            inotify_event events[16];
            opened = opened || ::read(watch, events, sizeof events) > 0;
            return opened || wizard.state() == QProcess::NotRunning;
        };
        QTRY_VERIFY2_WITH_TIMEOUT(openedOrEnded(), "setup.ini never opened", 20000);
        QVERIFY2(wizard.state() == QProcess::Running, qPrintable(QString::fromUtf8(wizard.readAll())));

        // It runs as the wizard: a second start finds it and ends after the warning.
        QLocalSocket probe;
        probe.connectToServer(
            home.filePath(QStringLiteral("kestrom-instance-%1/TMainKestromForm-%1").arg(::getuid())));
        QVERIFY(probe.waitForConnected(5000));
        QProcess second;
        second.setProcessEnvironment(env);
        second.start(installed(QStringLiteral("usr/bin/kestrom")), {});
        QVERIFY(second.waitForFinished(20000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        const QString secondSaid = QString::fromUtf8(second.readAllStandardError());
        QVERIFY2(secondSaid.contains(QStringLiteral("BOX [Предупреждение] Приложение уже запущено.")),
                 qPrintable(secondSaid));
        QVERIFY(wizard.state() == QProcess::Running);
    }

    void removeLeavesNothing() {
        const Run purge = dpkg({QStringLiteral("--purge"), QStringLiteral("kestrom")});
        QVERIFY2(purge.ok(), qPrintable(purge.both()));
        QCOMPARE(entriesOutsideDatabase(FRoot), QStringList());
        const Run status = dpkg({QStringLiteral("--status"), QStringLiteral("kestrom")});
        QVERIFY2(!status.out.contains(QStringLiteral("install ok installed")), qPrintable(status.both()));
    }

    void lintianFindsNoErrors() {
        const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
        if (lintian.isEmpty())
            QSKIP("lintian missing (Debian package lintian)");
        const Run l = run(lintian, {QStringLiteral("--fail-on"), QStringLiteral("error"), FDeb});
        QVERIFY2(l.ok() && !l.out.contains(QRegularExpression(QStringLiteral("^E: "),
                                                              QRegularExpression::MultilineOption)),
                 qPrintable(l.both()));
    }
};

QTEST_GUILESS_MAIN(TestPackage)
#include "tst_package.moc"
