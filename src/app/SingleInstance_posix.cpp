// One wizard per user on POSIX: a per-user local server, a lock file against the race.
#include "app/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A directory only this user can enter: nothing in it can be planted by another account.
bool ownPrivateDir(const QString& dir) {
    struct stat st {};
    return ::lstat(QFile::encodeName(dir).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 077) == 0;
}

// Where the lock and the local server go. The temporary directory is shared by every
// account: a lock file or a socket another account put there under our name would keep the
// wizard from ever starting ("Приложение уже запущено."), and the sticky directory would
// not let us remove it. So they go into a directory of this user's in it (made 0700 on the
// first start), else into $XDG_RUNTIME_DIR when another account took that name first.
// Empty when there is neither.
QString instanceDir() {
    const QString dir = QDir::temp().filePath(QStringLiteral("kestrom-instance-%1").arg(::geteuid()));
    ::mkdir(QFile::encodeName(dir).constData(), 0700); // exists from an earlier start: checked below
    if (ownPrivateDir(dir))
        return dir;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && ownPrivateDir(runtime))
        return runtime;
    return {};
}

QString instanceName(const QString& dir) {
    return QDir(dir).filePath(QStringLiteral("TMainKestromForm-%1").arg(::geteuid()));
}

// A wizard that runs answers on its local server.
bool serverAnswers(const QString& name) {
    QLocalSocket probe;
    probe.connectToServer(name);
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
    const QString dir = instanceDir();
    if (dir.isEmpty())
        return true;
    const QString name = instanceName(dir);
    d->FLock = std::make_unique<QLockFile>(name + QStringLiteral(".lock"));
    d->FLock->setStaleLockTime(0);
    if (!d->FLock->tryLock(200)) {
        if (d->FLock->error() == QLockFile::LockFailedError)
            return false; // held by a running wizard (a dead one's lock is taken over)
        d->FLock.reset();
        return !serverAnswers(name);
    }
    if (serverAnswers(name))
        return false;
    d->FServer = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(name); // a socket file left by a crashed run
    d->FServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!d->FServer->listen(name))
        d->FServer.reset(); // the lock alone keeps a second start out
    return true;
}
