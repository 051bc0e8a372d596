#include "platform/FileVersion.h"

#ifndef KESTROM_VERSION
#define KESTROM_VERSION ""
#endif

QString GetFileVersionString(const QString&) {
    return QStringLiteral(KESTROM_VERSION);
}
