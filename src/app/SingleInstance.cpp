#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <unistd.h>

namespace {
QString instanceName() {
    return QStringLiteral("TMainKestromForm-%1").arg(::getuid());
}
} // namespace

bool SingleInstance::Claim() {
    // The lock file closes the race between two starts at the same moment; the local
    // server is what a later start finds.
    FLock = std::make_unique<QLockFile>(QDir::temp().filePath(instanceName() + QStringLiteral(".lock")));
    FLock->setStaleLockTime(0);
    if (!FLock->tryLock(200))
        return false;
    {
        QLocalSocket probe;
        probe.connectToServer(instanceName());
        if (probe.waitForConnected(200))
            return false;
    }
    FServer = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(instanceName()); // a socket file left by a crashed run
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    return FServer->listen(instanceName());
}
