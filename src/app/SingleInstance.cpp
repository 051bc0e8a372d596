#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <unistd.h>

namespace {
QString instanceName() {
    return QStringLiteral("TMainKestromForm-%1").arg(::getuid());
}

// A wizard that runs answers on its local server.
bool serverAnswers() {
    QLocalSocket probe;
    probe.connectToServer(instanceName());
    return probe.waitForConnected(200);
}
} // namespace

bool SingleInstance::Claim() {
    // The lock file closes the race between two starts at the same moment; the local
    // server is what a later start finds. Only a lock held by a live wizard or a server
    // that answers means another copy runs: a temporary directory where neither can be
    // made (TMPDIR naming a file, a read-only or full disk) lets this one start unguarded.
    FLock = std::make_unique<QLockFile>(QDir::temp().filePath(instanceName() + QStringLiteral(".lock")));
    FLock->setStaleLockTime(0);
    if (!FLock->tryLock(200)) {
        if (FLock->error() == QLockFile::LockFailedError)
            return false; // held by a running wizard (a dead one's lock is taken over)
        FLock.reset();
        return !serverAnswers();
    }
    if (serverAnswers())
        return false;
    FServer = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(instanceName()); // a socket file left by a crashed run
    FServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!FServer->listen(instanceName()))
        FServer.reset(); // the lock alone keeps a second start out
    return true;
}
