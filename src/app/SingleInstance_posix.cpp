// One wizard per user on POSIX: a per-user local server, a lock file against the race.
#include "app/SingleInstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
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

struct SingleInstance::Private {
    std::unique_ptr<QLockFile> FLock;
    std::unique_ptr<QLocalServer> FServer;
};

SingleInstance::SingleInstance() : d(new Private) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::Claim() {
    // The lock file closes the race between two starts at the same moment; the local
    // server is what a later start finds. Only a lock held by a live wizard or a server
    // that answers means another copy runs: a temporary directory where neither can be
    // made (TMPDIR naming a file, a read-only or full disk) lets this one start unguarded.
    d->FLock = std::make_unique<QLockFile>(QDir::temp().filePath(instanceName() + QStringLiteral(".lock")));
    d->FLock->setStaleLockTime(0);
    if (!d->FLock->tryLock(200)) {
        if (d->FLock->error() == QLockFile::LockFailedError)
            return false; // held by a running wizard (a dead one's lock is taken over)
        d->FLock.reset();
        return !serverAnswers();
    }
    if (serverAnswers())
        return false;
    d->FServer = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(instanceName()); // a socket file left by a crashed run
    d->FServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!d->FServer->listen(instanceName()))
        d->FServer.reset(); // the lock alone keeps a second start out
    return true;
}
