// Which run directory is current: made on the first call, kept while it is still private and
// the temporary directory stays the same, removed at exit.
#include "platform/TempDir.h"

#include <QDir>
#include <cstdlib>

namespace TempDir {
namespace {
QString g_runDir; // with a trailing separator; empty while none is made
QString g_base;   // the directory g_runDir was made under
bool g_exitHook = false;

void RemoveAtExit() {
    RemoveRunDir();
}
} // namespace

QString RunDir(QString* where, QString* why) {
    const QString base = BaseDir();
    if (!g_runDir.isEmpty() && g_base == base && StillPrivate(g_runDir))
        return g_runDir;
    if (!g_runDir.isEmpty() && g_base != base)
        RemoveRunDir(); // the temporary directory changed (tests do): the old one goes
    g_runDir.clear();

    *where = base;
    if (base.isEmpty()) {
        *why = QStringLiteral("нет временной папки");
        return {};
    }
    const QString made = MakeRunDir(base, why);
    if (made.isEmpty())
        return {};
    g_runDir = made;
    g_base = base;
    if (!g_exitHook) {
        g_exitHook = true;
        std::atexit(RemoveAtExit);
    }
    return g_runDir;
}

void RemoveRunDir() {
    if (!g_runDir.isEmpty() && StillPrivate(g_runDir))
        QDir(g_runDir).removeRecursively();
    g_runDir.clear();
}

} // namespace TempDir
