// setup.ini flags, and starting and stopping the device's setup program.
#include "app/MainFormUnit.h"
#include "platform/AnsiCodec.h"
#include "platform/Platform.h"
#include "platform/ProcessStart.h"
#include "platform/TempDir.h"
#include "settings/SetupIni.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {
// Writes a fresh copy of source at target (in the run directory): made new, never through a
// file that is there already, with rights for this user alone. On failure nothing is left
// at target.
bool WriteCopy(const QString& source, const QString& target, QString* why) {
    if (QFileInfo::exists(target) && !QFile::remove(target)) {
        // A copy of this run still there (its removal failed before): it is not reused.
        *why = QStringLiteral("не удалось удалить прежнюю копию");
        return false;
    }
    QFile from(source);
    if (!from.open(QIODevice::ReadOnly)) {
        *why = from.errorString();
        return false;
    }
    // A native program without its execute permission stays without it, as the original.
    QFile::Permissions rights = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    if (QFileInfo(source).isExecutable())
        rights |= QFile::ExeOwner | QFile::ExeUser;
    QFile to(target);
    if (!to.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered, rights)) {
        *why = to.errorString();
        return false;
    }
    bool ok = true;
    while (ok && !from.atEnd()) {
        const QByteArray piece = from.read(1 << 16);
        ok = !piece.isEmpty();
        // A nearly full disk takes part of a piece; the next write then says why it stops.
        for (qsizetype done = 0; ok && done < piece.size();) {
            const qint64 n = to.write(piece.constData() + done, piece.size() - done);
            ok = n > 0;
            done += qMax<qint64>(n, 0);
        }
    }
    if (!ok) {
        *why = to.error() != QFileDevice::NoError ? to.errorString() : from.errorString();
        to.close();
        QFile::remove(target); // a full disk leaves a partial file behind
        return false;
    }
    to.close();
    return true;
}
} // namespace

QString TMainKestromForm::SetupIniPath() const {
    return Platform::AppDir() + QStringLiteral("/setup.ini");
}

void TMainKestromForm::ReadSetupFlags() {
    const SetupIni::SetupFlags flags = SetupIni::readFlags(SetupIniPath());
    FOldConnect = flags.oldConnect;
    FSP = flags.sp;
    FRB = flags.rb;
}

void TMainKestromForm::ReadProto() {
    FProto = SetupIni::readFlags(SetupIniPath()).proto;
}

TMainKestromForm::SetupStart TMainKestromForm::StartSetup() {
    if (FSetupIsStarted)
        return SetupStart::Running; // the running setup program stays
    if (!SetupPlacesFound())
        return SetupStart::NotStarted;
    const QString name = SetupProgramName();
    const QString source = Platform::AppDir() + QLatin1Char('/') + name;
    if (name.isEmpty() || !QFileInfo(source).isFile())
        return SetupStart::NotStarted; // the caller reports that no setup program was found
    const QString copy = PrivateSetupCopy(source, name);
    if (copy.isEmpty())
        return SetupStart::FailureShown;
    return LaunchSetupCopy(copy);
}

bool TMainKestromForm::SetupPlacesFound() {
    if (Platform::TempPath().isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Оболочка не запущена, системная ошибка"),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        return false;
    }
    if (!QFileInfo(SetupIniPath()).isFile()) {
        Platform::MessageBox(this, QStringLiteral("Оболочка не запущена, не найден файл настроек"),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        return false;
    }
    return true;
}

QString TMainKestromForm::SetupProgramName() {
    const QString answer = AnsiCodec::toText(FVerInfo);
    const QString key = FOldConnect ? SetupIni::deviceKeyOld(answer) : SetupIni::deviceKeyStandard(answer);
    FVerInfo.clear(); // the answer is used once
    return SetupIni::programFor(SetupIniPath(), key);
}

QString TMainKestromForm::PrivateSetupCopy(const QString& source, const QString& name) {
    // The copy is written, checked and started in this run's own directory, which no other
    // account can enter: a file another account put in the shared temporary directory is
    // never started.
    QString where, why;
    const QString dir = TempDir::RunDir(&where, &why);
    // Named after the file alone: a name in setup.ini with folders in it ("../x") must not
    // put the copy outside the private directory.
    const QString copy = dir + QFileInfo(name).fileName() + QStringLiteral(".exe");
    if (dir.isEmpty() || !WriteCopy(source, copy, &why)) {
        const QString place = dir.isEmpty() ? where : dir;
        AddLog(QStringLiteral("Не удалось скопировать %1 в %2: %3").arg(source, place, why), QString());
        ShowSetupFailure(
            QStringLiteral("Оболочка не запущена, не удалось скопировать %1 во временную папку %2: %3")
                .arg(source, place, why));
        return QString();
    }
    if (!TempDir::IsPrivateFile(copy)) {
        QFile::remove(copy);
        AddLog(QStringLiteral("Копия %1 изменена, она не запускается").arg(copy), QString());
        ShowSetupFailure(QStringLiteral("Оболочка не запущена, копия %1 изменена").arg(copy));
        return QString();
    }
    return copy;
}

TMainKestromForm::SetupStart TMainKestromForm::LaunchSetupCopy(const QString& copy) {
    const ProcessStart::Command command =
        ProcessStart::CommandFor(copy, ProcessStart::KindOf(ProcessStart::ReadHead(copy)),
                                 ProcessStart::RunsWindowsPrograms(), ProcessStart::FindWine());
    QString failure = command.error;
    if (failure.isEmpty()) {
        auto* process = new QProcess(this);
        process->setWorkingDirectory(Platform::AppDir());
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->setInputChannelMode(QProcess::ForwardedInputChannel);
        ProcessStart::Prepare(process, command);
        process->start();
        // Only the program's start (its exec) is waited for; a program that takes its time
        // to come up (Wine's first start) connects whenever it is ready.
        if (process->waitForStarted(5000)) {
            FSetupProcInfo = process;
            FSetupFile = copy;
            FSetupIsStarted = true;
            // The process object goes when the program ends; nobody waits for that.
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
            return SetupStart::Running;
        }
        // Most often the file is not a program: no execute permission, or not an
        // executable at all.
        failure = process->errorString();
        process->deleteLater();
    }
    QFile::remove(copy);
    AddLog(QStringLiteral("Не удалось запустить %1: %2").arg(copy, failure), QString());
    ShowSetupFailure(QStringLiteral("Оболочка не запущена, не удалось запустить %1: %2").arg(copy, failure));
    return SetupStart::FailureShown;
}

void TMainKestromForm::ShowSetupFailure(const QString& text) {
    Platform::MessageBox(this, text, QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
}

void TMainKestromForm::StopSetup() {
    if (FSetupIsStarted) {
        if (QProcess* process = FSetupProcInfo.data()) {
            if (process->state() != QProcess::NotRunning)
                ProcessStart::End(process); // reaped and deleted when it has ended
            else
                process->deleteLater();
        }
        FSetupProcInfo.clear();
        // Removing the file does not disturb a process that is still ending.
        QFile::remove(FSetupFile);
    }
    FSetupIsStarted = false;
}
