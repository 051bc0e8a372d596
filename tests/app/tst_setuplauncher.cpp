// Finding, copying, starting and stopping the setup program.
#include "TestForms.h"
#include "app/MainFormUnit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <signal.h>

namespace {
// A setup program that records its working directory and arguments, then waits.
QByteArray recordingProgram(const QString& record, const QByteArray& tag = "v1") {
    return "#!/bin/sh\n# " + tag + "\necho \"$PWD|$#\" >> '" + record.toUtf8() + "'\nexec sleep 60\n";
}

void writeExecutable(const QString& path, const QByteArray& content) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
    f.close();
    f.setPermissions(f.permissions() | QFile::ExeOwner | QFile::ExeUser);
}

QStringList readLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestSetupLauncher : public QObject {
    Q_OBJECT
    std::unique_ptr<FormsFixture> fx;
    TMainKestromForm* f = nullptr;
    QString record;

    void prepare(const QByteArray& ini, const QString& programName = "prog") {
        fx->WriteSetupIni(ini);
        if (!programName.isEmpty())
            writeExecutable(fx->appDir() + "/" + programName, recordingProgram(record));
        fx->Create();
        f = MainKestromForm;
    }

  private slots:
    void init() {
        fx = std::make_unique<FormsFixture>();
        record = fx->tempDir() + "/record.txt";
    }
    void cleanup() {
        if (MainKestromForm)
            MainKestromForm->StopSetup();
        fx.reset();
    }

    void startsCopyInTempWithNoArgumentsInProgramDir() {
        prepare("SIMPANEL=prog\r\n");
        f->FVerInfo = "+VER_INFO=1,\"SIMPANEL.01.00\"\r\nOK\r\n";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        // In a directory of this run's that only this user may enter.
        const QString copy = f->FSetupFile;
        QVERIFY2(copy.startsWith(fx->tempDir() + "/kestrom-") && copy.endsWith("/prog.exe"),
                 qPrintable(copy));
        QCOMPARE(ModeOf(QFileInfo(copy).path()), 0700);
        QCOMPARE(ModeOf(copy) & 077, 0);
        QVERIFY(f->FVerInfo.isEmpty());
        QTRY_COMPARE(readLines(record), QStringList{fx->appDir() + "|0"});

        // A second start while it runs changes nothing, not even the answer.
        f->FVerInfo = "kept";
        QCOMPARE(f->StartSetup(), TMainKestromForm::SetupStart::Running);
        QCOMPARE(f->FVerInfo, QByteArray("kept"));
        QTest::qWait(100);
        QCOMPARE(readLines(record).size(), 1);

        const qint64 pid = f->FSetupProcInfo->processId();
        f->StopSetup();
        QVERIFY(!f->FSetupIsStarted);
        QVERIFY(!QFile::exists(copy));
        QTRY_VERIFY(::kill(pid_t(pid), 0) != 0);
    }

    void lookupOutcomes_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("started");
        QTest::newRow("key in other case")
            << QByteArray("simpanel=prog\r\n") << QByteArray("+V=1,\"SIMPANEL.1\"") << true;
        QTest::newRow("key without entry")
            << QByteArray("OTHER=prog\r\n") << QByteArray("+V=1,\"SIMPANEL.1\"") << false;
        QTest::newRow("named file missing")
            << QByteArray("SIMPANEL=absent\r\n") << QByteArray("+V=1,\"SIMPANEL.1\"") << false;
        QTest::newRow("empty key takes a line starting with =")
            << QByteArray("=prog\r\n") << QByteArray() << true;
        QTest::newRow("empty key, no such line") << QByteArray("X=prog\r\n") << QByteArray() << false;
        QTest::newRow("space before = does not match")
            << QByteArray("SIMPANEL =prog\r\n") << QByteArray("+V=1,\"SIMPANEL.1\"") << false;
    }
    void lookupOutcomes() {
        QFETCH(QByteArray, ini);
        QFETCH(QByteArray, answer);
        QFETCH(bool, started);
        prepare(ini);
        f->FVerInfo = answer;
        // Not found: the caller shows its own box, since the launcher has shown none.
        QCOMPARE(f->StartSetup(),
                 started ? TMainKestromForm::SetupStart::Running : TMainKestromForm::SetupStart::NotStarted);
        QCOMPARE(f->FSetupIsStarted, started);
        QVERIFY(f->FVerInfo.isEmpty());
        QVERIFY(fx->boxes.boxes.isEmpty()); // the caller reports, not the launcher
    }

    void missingSetupIniIsReported() {
        prepare(QByteArray(), QString());
        QFile::remove(fx->appDir() + "/setup.ini");
        f->FVerInfo = "kept";
        // This box does not stand for the caller's: it still reports no setup program found.
        QCOMPARE(f->StartSetup(), TMainKestromForm::SetupStart::NotStarted);
        QVERIFY(!f->FSetupIsStarted);
        QCOMPARE(fx->boxes.texts(), QStringList{"Оболочка не запущена, не найден файл настроек"});
        QCOMPARE(f->FVerInfo, QByteArray("kept"));
    }

    void nameEndingInExeGetsItTwice() {
        fx->WriteSetupIni("SIMPANEL=prog.exe\r\n");
        writeExecutable(fx->appDir() + "/prog.exe", recordingProgram(record));
        fx->Create();
        f = MainKestromForm;
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QVERIFY(f->FSetupFile.endsWith("/prog.exe.exe"));
    }

    void onlyCopiesOfThisRunAreStarted() {
        // A program another account put at the shared path the copy used to take is never
        // started, and a name with folders in it does not lead the copy out of the private
        // directory.
        const QString appName = QFileInfo(fx->appDir()).fileName();
        prepare("SIMPANEL=../" + appName.toUtf8() + "/prog\r\n");
        const QString planted = fx->tempDir() + "/prog.exe";
        const QString plantedRecord = fx->tempDir() + "/planted.txt";
        writeExecutable(planted, recordingProgram(plantedRecord, "planted"));
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        const QString runDir = QFileInfo(f->FSetupFile).path();
        QCOMPARE(QFileInfo(runDir).path(), fx->tempDir());
        QCOMPARE(QFileInfo(f->FSetupFile).fileName(), QStringLiteral("prog.exe"));
        QTRY_COMPARE(readLines(record).size(), 1);
        QFile started(f->FSetupFile);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QVERIFY(started.readAll().contains("# v1"));
        f->StopSetup();

        // A run directory that went meanwhile (a cleaner of the temporary directory) is made anew.
        QVERIFY(QDir(runDir).removeRecursively());
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QVERIFY(QFileInfo::exists(f->FSetupFile));
        QTRY_COMPARE(readLines(record).size(), 2);
        QVERIFY(QFile::exists(planted)); // left alone, never run
        QVERIFY(!QFile::exists(plantedRecord));
    }

    void runningOldCopyIsNotDisturbed() {
        // An old copy still running (its deletion failed earlier) keeps running from its
        // own file while the fresh copy takes the name.
        prepare("SIMPANEL=prog\r\n");
        const QString copy = fx->tempDir() + "/prog.exe";
        const QString oldRecord = fx->tempDir() + "/old.txt";
        writeExecutable(copy, recordingProgram(oldRecord, "stale"));
        QProcess old;
        old.start(copy, {});
        QVERIFY(old.waitForStarted());
        QTRY_COMPARE(readLines(oldRecord).size(), 1);
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QTRY_COMPARE(readLines(record).size(), 1);
        QCOMPARE(old.state(), QProcess::Running);
        old.kill();
        old.waitForFinished();
    }

    void longProgramPathReachesTheProcessWhole() {
        // The whole path is handed over; a 255-character command line used to cut it.
        const QString deep = fx->appDir() + "/" + QString(120, 'a') + "/" + QString(120, 'b') + "/Кириллица";
        QVERIFY(QDir().mkpath(deep));
        Platform::SetAppDirForTest(deep);
        Platform::SetTempPathForTest(deep);
        QFile ini(deep + "/setup.ini");
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("SIMPANEL=программа\r\n");
        ini.close();
        writeExecutable(deep + "/программа", recordingProgram(record));
        fx->Create();
        f = MainKestromForm;
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QVERIFY(f->FSetupFile.size() > 255);
        QTRY_COMPARE(readLines(record), QStringList{deep + "|0"});
    }
};

QTEST_MAIN(TestSetupLauncher)
#include "tst_setuplauncher.moc"
