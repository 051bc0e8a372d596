#include "server/ServerPort.h"

quint16 EffectiveServerPort(const QString& text) {
    bool ok = false;
    const int port = text.toInt(&ok);
    if (!ok || port < 1024 || port > 65535)
        return DefaultServerPort;
    return quint16(port);
}
