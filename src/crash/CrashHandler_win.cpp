#include "crash/CrashHandler.h"

namespace CrashHandler {

QString DefaultHelper() {
    return QString();
}

bool Install(const Setup&, QString* why) {
    if (why)
        *why = QStringLiteral("no crash handler in this build");
    return false;
}

} // namespace CrashHandler
