#include "TestForms.h"

#include "app/MainFormUnit.h"
#include "channels/COMUtils.h"
#include "log/LOGUnit.h"

#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <sys/stat.h>

BoxRecorder::BoxRecorder() {
    Platform::SetMessageBoxHandler([this](const Platform::BoxRecord& r) { boxes.append(r); });
}

BoxRecorder::~BoxRecorder() {
    Platform::SetMessageBoxHandler({});
}

QStringList BoxRecorder::texts() const {
    QStringList out;
    for (const auto& b : boxes)
        out << b.text;
    return out;
}

FormsFixture::FormsFixture() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, FConfigDir.path());
    Platform::SetAppDirForTest(FAppDir.path());
    Platform::SetTempPathForTest(FTempDir.path());
    // The machine's own serial ports stay out of the tests; a test presents its ports.
    SetCOMPortEnumeratorForTest([] { return QStringList(); });
}

FormsFixture::~FormsFixture() {
    Destroy();
    Platform::SetAppDirForTest(QString());
    SetCOMPortEnumeratorForTest({});
    SetCOMPortListFailureForTest({});
}

void FormsFixture::Create() {
    CreateForms();
    FCreated = true;
}

void FormsFixture::Destroy() {
    if (FCreated)
        DestroyForms();
    FCreated = false;
}

void FormsFixture::WriteSetupIni(const QByteArray& content) const {
    QFile f(FAppDir.filePath(QStringLiteral("setup.ini")));
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(content);
}

QStringList LogLines() {
    QStringList out;
    if (!LOGForm)
        return out;
    for (int i = 0; i < LOGForm->Log->count(); ++i)
        out << LOGForm->Log->item(i)->text();
    return out;
}

QString LogBody(const QString& line) {
    // "yyyy.mm.dd hh:mm:ss.zzz: " is 25 characters.
    return line.mid(25);
}

quint16 FreeTcpPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

int ModeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return -1;
    return int(st.st_mode & 07777);
}

QByteArray AllByteValues() {
    QByteArray b;
    for (int i = 0; i < 256; ++i)
        b += char(i);
    return b;
}

QString PrepareSetupSim(const QString& dir, const QString& serverPort, const QByteArray& mode,
                        const QByteArray& script) {
    const QString record = dir + QStringLiteral("/record.txt");
    qputenv("KESTROM_SETUP_PORT", serverPort.toLatin1());
    qputenv("KESTROM_SETUP_RECORD", record.toLocal8Bit());
    qputenv("KESTROM_SETUP_MODE", mode);
    qunsetenv("KESTROM_SETUP_SCRIPT");
    if (!script.isEmpty()) {
        QFile s(dir + QStringLiteral("/script.txt"));
        if (s.open(QIODevice::WriteOnly))
            s.write(script);
        qputenv("KESTROM_SETUP_SCRIPT", s.fileName().toLocal8Bit());
    }
    return record;
}
