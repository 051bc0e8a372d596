#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>

namespace Platform {
namespace {
QString g_appDir;
QString g_tempDir;
bool g_tempOverridden = false;
} // namespace

QString AppDir() {
    if (!g_appDir.isEmpty())
        return g_appDir;
    return QCoreApplication::applicationDirPath();
}

void SetAppDirForTest(const QString& dir) {
    g_appDir = dir;
}

QString TempPath() {
    QString dir = g_tempOverridden ? g_tempDir : QDir::tempPath();
    if (dir.isEmpty())
        return {};
    if (!dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    return dir;
}

void SetTempPathForTest(const QString& dir) {
    g_tempDir = dir;
    g_tempOverridden = true;
}

bool TempPathSetForTest() {
    return g_tempOverridden;
}

} // namespace Platform
