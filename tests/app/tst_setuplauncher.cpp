// Finding, copying, starting and stopping the setup program.
#include "TestForms.h"
#include "app/MainFormUnit.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <signal.h>
#include <sys/stat.h>

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

ino_t inode(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
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
        const QString copy = fx->tempDir() + "/prog.exe";
        QCOMPARE(f->FSetupFile, copy);
        QVERIFY(f->FVerInfo.isEmpty());
        QTRY_COMPARE(readLines(record), QStringList{fx->appDir() + "|0"});

        // A second start while it runs changes nothing, not even the answer.
        f->FVerInfo = "kept";
        f->StartSetup();
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
        f->StartSetup();
        QCOMPARE(f->FSetupIsStarted, started);
        QVERIFY(f->FVerInfo.isEmpty());
        QVERIFY(fx->boxes.boxes.isEmpty()); // the caller reports, not the launcher
    }

    void missingSetupIniIsReported() {
        prepare(QByteArray(), QString());
        QFile::remove(fx->appDir() + "/setup.ini");
        f->FVerInfo = "kept";
        f->StartSetup();
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
        QCOMPARE(f->FSetupFile, fx->tempDir() + "/prog.exe.exe");
    }

    void staleCopyIsReplacedIdenticalReused() {
        // A copy left by an earlier run that differs from the program beside us is
        // replaced (a stale program used to be started); an identical one is reused.
        prepare("SIMPANEL=prog\r\n");
        const QString copy = fx->tempDir() + "/prog.exe";
        writeExecutable(copy, recordingProgram(record, "stale"));
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QFile started(copy);
        QVERIFY(started.open(QIODevice::ReadOnly));
        QVERIFY(started.readAll().contains("# v1"));
        started.close();
        f->StopSetup();

        writeExecutable(copy, recordingProgram(record));
        const ino_t before = inode(copy);
        f->FVerInfo = "+V=1,\"SIMPANEL.1\"";
        f->StartSetup();
        QVERIFY(f->FSetupIsStarted);
        QCOMPARE(inode(copy), before);
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
