// Signing with a company certificate (scripts/windows-sign, osslsigncode): the Windows build's
// programs and installer signed with a throw-away self-signed certificate made here, and
// verified against it.
//
// Skipped with the reason when the Windows build (scripts/windows), openssl or osslsigncode is
// missing.
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

struct Run {
    int code = -1;
    QByteArray output;
};

Run run(const QString& program, const QStringList& args, const QProcessEnvironment& env = {}) {
    QProcess p;
    if (!env.isEmpty())
        p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    Run r;
    if (p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit)
        r.code = p.exitCode();
    r.output = p.readAll();
    return r;
}

} // namespace

class TestSigning : public QObject {
    Q_OBJECT

    QTemporaryDir FDir;
    QStringList FFiles; // copies of the programs and the installer
    QProcessEnvironment FEnv;

    Run verify(const QString& file) {
        return run("osslsigncode", {"verify", "-CAfile", FDir.filePath("cert.pem"), "-in", file});
    }

  private slots:
    void initTestCase() {
        const QString dist = QStringLiteral(KESTROM_SOURCE_DIR "/dist");
        const QStringList built{dist + "/windows/kestrom.exe", dist + "/windows/setup-sim.exe",
                                QStringLiteral(KESTROM_WINDOWS_MSI)};
        for (const QString& f : built)
            if (!QFileInfo::exists(f))
                QSKIP(
                    qPrintable("no " + f + ": scripts/windows makes it where the Qt for Windows is at hand"));
        for (const char* tool : {"openssl", "osslsigncode"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(tool)));
        QVERIFY(FDir.isValid());
        for (const QString& f : built) {
            FFiles << FDir.filePath(QFileInfo(f).fileName());
            QVERIFY(QFile::copy(f, FFiles.last()));
        }

        QFile pass(FDir.filePath("pass.txt"));
        QVERIFY(pass.open(QIODevice::WriteOnly));
        pass.write("throw-away\n");
        pass.close();
        Run r = run("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                                "/CN=Kestrom test/O=Norvak", "-addext", "extendedKeyUsage=codeSigning",
                                "-keyout", FDir.filePath("key.pem"), "-out", FDir.filePath("cert.pem")});
        QVERIFY2(r.code == 0, r.output.constData());
        r = run("openssl",
                {"pkcs12", "-export", "-inkey", FDir.filePath("key.pem"), "-in", FDir.filePath("cert.pem"),
                 "-out", FDir.filePath("cert.pfx"), "-passout", "file:" + FDir.filePath("pass.txt")});
        QVERIFY2(r.code == 0, r.output.constData());

        FEnv = QProcessEnvironment::systemEnvironment();
        FEnv.insert("KESTROM_SIGN_PFX", FDir.filePath("cert.pfx"));
        FEnv.insert("KESTROM_SIGN_PASS_FILE", FDir.filePath("pass.txt"));
    }

    void signedFilesVerify() {
        for (const QString& f : FFiles)
            QVERIFY2(verify(f).code != 0, qPrintable(f + " was signed already"));
        const Run r = run(QStringLiteral(KESTROM_SOURCE_DIR "/scripts/windows-sign"), FFiles, FEnv);
        QVERIFY2(r.code == 0, r.output.constData());
        for (const QString& f : FFiles) {
            const Run v = verify(f);
            QVERIFY2(v.code == 0 && v.output.contains("Signature verification: ok"),
                     qPrintable(f + "\n" + QString::fromLocal8Bit(v.output)));
            QVERIFY2(v.output.contains("Kestrom test"), v.output.constData());
        }
    }

    // A wrong password fails the build's step and leaves the file as it was.
    void wrongPasswordFails() {
        const QString file = FDir.filePath("unsigned.exe");
        QVERIFY(QFile::copy(QStringLiteral(KESTROM_SOURCE_DIR "/dist/windows/setup-sim.exe"), file));
        QFile wrong(FDir.filePath("wrong.txt"));
        QVERIFY(wrong.open(QIODevice::WriteOnly));
        wrong.write("not it\n");
        wrong.close();
        QProcessEnvironment env = FEnv;
        env.insert("KESTROM_SIGN_PASS_FILE", wrong.fileName());
        QFile before(file);
        QVERIFY(before.open(QIODevice::ReadOnly));
        const QByteArray bytes = before.readAll();
        before.close();
        QVERIFY(run(QStringLiteral(KESTROM_SOURCE_DIR "/scripts/windows-sign"), {file}, env).code != 0);
        QVERIFY(before.open(QIODevice::ReadOnly));
        QCOMPARE(before.readAll(), bytes);
    }
};

QTEST_GUILESS_MAIN(TestSigning)
#include "tst_signing.moc"
