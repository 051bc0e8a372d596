// setup.ini flags, and starting and stopping the device's setup program.
#include "platform/AnsiCodec.h"
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "app/SetupIni.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
bool sameContent(const QString& a, const QString& b) {
    QFile fa(a), fb(b);
    if (fa.size() != fb.size() || !fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    while (!fa.atEnd()) {
        if (fa.read(1 << 16) != fb.read(1 << 16))
            return false;
    }
    return true;
}

// Puts a fresh copy of source at target unless an identical one is already there. The copy
// is written under another name and renamed over the target, so a copy that is still
// running (left from an earlier run) keeps its own file and is never touched.
bool refreshCopy(const QString& source, const QString& target, QString* why) {
    if (QFileInfo(target).isFile() && sameContent(source, target))
        return true;
    const QString partial = target + QStringLiteral(".part");
    QFile::remove(partial);
    QFile from(source);
    if (!from.copy(partial)) {
        *why = from.errorString();
        QFile::remove(partial); // a full disk leaves a partial file behind
        return false;
    }
    if (::rename(QFile::encodeName(partial).constData(), QFile::encodeName(target).constData()) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(partial);
        return false;
    }
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

void TMainKestromForm::StartSetup() {
    if (FSetupIsStarted)
        return; // the running setup program stays
    const QString temp = Platform::TempPath();
    if (temp.isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Оболочка не запущена, системная ошибка"),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        return;
    }
    const QString ini = SetupIniPath();
    if (!QFileInfo(ini).isFile()) {
        Platform::MessageBox(this, QStringLiteral("Оболочка не запущена, не найден файл настроек"),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        return;
    }

    const QString answer = AnsiCodec::toText(FVerInfo);
    const QString key = FOldConnect ? SetupIni::deviceKeyOld(answer) : SetupIni::deviceKeyStandard(answer);
    const QString name = SetupIni::programFor(ini, key);
    const QString source = Platform::AppDir() + QLatin1Char('/') + name;
    const QString copy = temp + name + QStringLiteral(".exe");

    FSetupFailureShown = false;
    QString program = source;
    if (!name.isEmpty() && QFileInfo(source).isFile()) {
        QString why;
        if (!refreshCopy(source, copy, &why)) {
            AddLog(QStringLiteral("Не удалось скопировать %1 в %2: %3").arg(source, copy, why), QString());
            if (!QFileInfo(copy).isFile()) {
                // No earlier copy to fall back on: a temporary directory that is missing, a
                // file, read-only or full.
                FVerInfo.clear();
                FSetupIsStarted = false;
                ShowSetupFailure(QStringLiteral("Оболочка не запущена, не удалось скопировать %1 во "
                                                "временную папку %2: %3")
                                     .arg(source, temp, why));
                return;
            }
        }
        program = copy; // an earlier copy still serves when a new one could not be made
    }

    bool started = false;
    if (!name.isEmpty() && QFileInfo(program).isFile()) {
        auto* process = new QProcess(this);
        process->setProgram(program); // the path reaches the process whole
        process->setArguments({});
        process->setWorkingDirectory(Platform::AppDir());
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->setInputChannelMode(QProcess::ForwardedInputChannel);
        process->start();
        started = process->waitForStarted(5000);
        if (started) {
            FSetupProcInfo = process;
            FSetupFile = program;
            // The process object goes when the program ends; nobody waits for that.
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
        } else {
            // Most often the file is not a program: no execute permission, or not an
            // executable at all.
            const QString why = process->errorString();
            process->deleteLater();
            AddLog(QStringLiteral("Не удалось запустить %1: %2").arg(program, why), QString());
            ShowSetupFailure(
                QStringLiteral("Оболочка не запущена, не удалось запустить %1: %2").arg(program, why));
        }
    }
    FVerInfo.clear();
    FSetupIsStarted = started;
}

void TMainKestromForm::ShowSetupFailure(const QString& text) {
    FSetupFailureShown = true;
    Platform::MessageBox(this, text, QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
}

void TMainKestromForm::StopSetup() {
    if (FSetupIsStarted) {
        if (QProcess* process = FSetupProcInfo.data()) {
            if (process->state() != QProcess::NotRunning)
                process->kill(); // reaped and deleted when it has ended
            else
                process->deleteLater();
        }
        FSetupProcInfo.clear();
        // Removing the file does not disturb a process that is still ending.
        QFile::remove(FSetupFile);
    }
    FSetupIsStarted = false;
}
