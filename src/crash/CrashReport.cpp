#include "crash/CrashReport.h"

#include "platform/AnsiCodec.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
const QString SeenFile = QStringLiteral("seen");
} // namespace

namespace CrashReport {

QString Directory() {
#ifdef Q_OS_WIN
    const QString base = qEnvironmentVariable("LOCALAPPDATA");
    if (base.isEmpty())
        return QString();
    return QDir(base).filePath(QStringLiteral("Norvak/Kestrom/crashes"));
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    // A relative value is to be ignored, as for every XDG base directory.
    if (base.isEmpty() || !QDir::isAbsolutePath(base)) {
        const QString home = QDir::homePath();
        if (home.isEmpty())
            return QString();
        base = QDir(home).filePath(QStringLiteral(".local/state"));
    }
    return QDir(base).filePath(QStringLiteral("kestrom/crashes"));
#endif
}

bool PrepareDirectory(const QString& dir, QString* why) {
    if (dir.isEmpty()) {
        if (why)
            *why = QStringLiteral("no home directory");
        return false;
    }
    if (!QDir().mkpath(dir)) {
        if (why)
            *why = QStringLiteral("cannot make ") + dir;
        return false;
    }
    // The reports show the panel's traffic: this user's alone.
    if (!QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        if (why)
            *why = QStringLiteral("cannot close ") + dir;
        return false;
    }
    return true;
}

bool IsReportName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^crash-\\d{8}-\\d{6}-\\d+\\.txt$"));
    return re.match(name).hasMatch();
}

QStringList Reports(const QString& dir) {
    QStringList names;
    const QStringList all = QDir(dir).entryList({QStringLiteral("crash-*.txt")}, QDir::Files, QDir::Name);
    for (const QString& name : all)
        if (IsReportName(name))
            names << name;
    return names;
}

QStringList Surplus(const QStringList& names) {
    const qsizetype extra = names.size() - (Kept - 1);
    return extra > 0 ? names.mid(0, extra) : QStringList();
}

void Prune(const QString& dir) {
    const QStringList surplus = Surplus(Reports(dir));
    for (const QString& name : surplus) {
        QFile::remove(QDir(dir).filePath(name));
        // A Windows report's minidump goes with it.
        QFile::remove(QDir(dir).filePath(name.chopped(4) + QStringLiteral(".dmp")));
    }
}

QString Unseen(const QString& dir) {
    const QStringList names = Reports(dir);
    if (names.isEmpty())
        return QString();
    QFile seen(QDir(dir).filePath(SeenFile));
    QString last;
    if (seen.open(QIODevice::ReadOnly))
        last = QString::fromUtf8(seen.readAll()).trimmed();
    return names.last() > last ? names.last() : QString();
}

void MarkSeen(const QString& dir, const QString& name) {
    QSaveFile seen(QDir(dir).filePath(SeenFile));
    if (!seen.open(QIODevice::WriteOnly))
        return;
    seen.write(name.toUtf8() + '\n');
    seen.commit();
}

QString MaskSecret(const QString& line, const QString& code) {
    if (code.isEmpty())
        return line;
    QString out = line;
    out.replace(code, QString(code.size(), QLatin1Char('*')));
    // The hex dump's spelling of the code as the panel receives it.
    const QByteArray bytes = AnsiCodec::fromText(code);
    QString hex;
    QString stars;
    for (const char c : bytes) {
        hex += QStringLiteral(" %1").arg(static_cast<quint8>(c), 2, 16, QLatin1Char('0'));
        stars += QStringLiteral(" **");
    }
    out.replace(hex, stars, Qt::CaseInsensitive);
    return out;
}

QString StateLine(int channel, int link, const QString& where, bool setupRunning) {
    static const char* const channels[] = {"modem V.32", "modem V.110", "cable", "IP"};
    static const char* const links[] = {"idle", "connecting", "connected", "redial"};
    const QString channelName = channel >= 0 && channel < 4 ? QString::fromLatin1(channels[channel])
                                                            : QStringLiteral("channel %1").arg(channel);
    const QString linkName =
        link >= 0 && link < 4 ? QString::fromLatin1(links[link]) : QStringLiteral("state %1").arg(link);
    return QStringLiteral("channel=%1; link=%2; %3=%4; setup program %5")
        .arg(channelName, linkName, channel == 3 ? QStringLiteral("address") : QStringLiteral("port"),
             where.isEmpty() ? QStringLiteral("(none)") : where,
             setupRunning ? QStringLiteral("running") : QStringLiteral("not running"));
}

QString BoxText(const QString& reportPath) {
    return QStringLiteral("Мастер подключения в прошлый раз завершился аварийно.\n"
                          "Отчёт о сбое сохранён в файле:\n%1\n\n"
                          "Чтобы помочь исправить ошибку, отправьте этот отчёт разработчикам: "
                          "кнопка «Копировать отчёт» помещает его текст в буфер обмена.")
        .arg(QDir::toNativeSeparators(reportPath));
}

} // namespace CrashReport
