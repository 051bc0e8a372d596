// One wizard per user: a second start warns and leaves without a window.
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>
#include <unistd.h>

class TestSingleInstance : public QObject {
    Q_OBJECT

    static QProcessEnvironment environment(const QString& tmpDir, const QString& configDir) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmpDir);
        env.insert("XDG_CONFIG_HOME", configDir);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        return env;
    }

    // The wizard starts and keeps running without the "already running" box.
    static void startsAndRuns(const QProcessEnvironment& env) {
        QProcess wizard;
        wizard.setProcessEnvironment(env);
        wizard.start(KESTROM_EXE, {});
        QVERIFY(wizard.waitForStarted());
        QVERIFY2(!wizard.waitForFinished(1500), wizard.readAllStandardError().constData());
        QVERIFY(wizard.readAllStandardError().indexOf("BOX") < 0);
        wizard.kill();
        wizard.waitForFinished();
    }
  private slots:
    void secondStartWarnsAndExits() {
        QTemporaryDir tmp;
        // A private instance name space for this test.
        const QProcessEnvironment env = environment(tmp.path(), tmp.path());

        QProcess first;
        first.setProcessEnvironment(env);
        first.start(KESTROM_EXE, {});
        QVERIFY(first.waitForStarted());
        // The first instance is ready once its lock file exists.
        QTRY_VERIFY_WITH_TIMEOUT(!QDir(tmp.filePath(QStringLiteral("kestrom-instance-%1").arg(::geteuid())))
                                      .entryList({"TMainKestromForm-*.lock"}, QDir::Files)
                                      .isEmpty(),
                                 10000);
        QTest::qWait(0);

        QProcess second;
        second.setProcessEnvironment(env);
        second.start(KESTROM_EXE, {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        const QString err = QString::fromUtf8(second.readAllStandardError());
        QVERIFY2(err.contains("BOX [Предупреждение] Приложение уже запущено."), qPrintable(err));
        QCOMPARE(first.state(), QProcess::Running); // the first one is not disturbed

        first.kill();
        first.waitForFinished();

        // With the first gone (even killed, leaving its lock and socket behind) a new start runs.
        QProcess third;
        third.setProcessEnvironment(env);
        third.start(KESTROM_EXE, {});
        QVERIFY(third.waitForStarted());
        QVERIFY(!third.waitForFinished(1500));
        QVERIFY(third.readAllStandardError().indexOf("BOX") < 0);
        third.kill();
        third.waitForFinished();
    }

    void anotherAccountsNamesAreNoRunningInstance() {
        // Another account got to the shared temporary directory first: a lock file and a
        // listening socket under the names a wizard of ours would use there, and the
        // directory of ours taken. None of it is this user's wizard: the start goes on.
        QTemporaryDir tmp;
        QVERIFY(::chmod(QFile::encodeName(tmp.path()).constData(), 01777) == 0); // as /tmp
        const QString uid = QString::number(::geteuid());
        QFile planted(tmp.filePath("TMainKestromForm-" + uid + ".lock"));
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.close();
        QLocalServer squatter;
        QVERIFY(squatter.listen(tmp.filePath("TMainKestromForm-" + uid)));
        const QByteArray taken = QFile::encodeName(tmp.filePath("kestrom-instance-" + uid));
        QVERIFY(::mkdir(taken.constData(), 0777) == 0 && ::chmod(taken.constData(), 0777) == 0);
        if (::geteuid() == 0) // the directory of ours as another account's (only root can give it away)
            QVERIFY(::chown(taken.constData(), 65534, 65534) == 0);

        QProcessEnvironment env = environment(tmp.path(), tmp.path());
        env.remove("XDG_RUNTIME_DIR");
        startsAndRuns(env);
    }

    void unusableTempDirIsNoRunningInstance() {
        // TMPDIR naming a file: neither lock nor socket can be made there, and that is not
        // another wizard. The start goes on (the connect attempt reports the temp directory).
        QTemporaryDir tmp;
        QFile notADirectory(tmp.filePath("not-a-directory"));
        QVERIFY(notADirectory.open(QIODevice::WriteOnly));
        notADirectory.close();
        startsAndRuns(environment(notADirectory.fileName(), tmp.path()));
    }
};

QTEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
