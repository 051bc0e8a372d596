#include "server/LoopbackServer.h"
#include "server/PortGuard.h"
#include "server/SetupServer.h"

#include <QAbstractSocket>

LoopbackServer::LoopbackServer(QObject* parent) : QObject(parent) {}

LoopbackServer::~LoopbackServer() {
    Release();
}

bool LoopbackServer::Hold(quint16 port) {
    Release();
    for (const QHostAddress& address :
         {QHostAddress(QHostAddress::LocalHost), QHostAddress(QHostAddress::LocalHostIPv6)}) {
        QString error;
        bool noAddress = false;
        const qintptr holder = PortGuard::Hold(address, port, &error, &noAddress);
        if (holder != PortGuard::NoSocket) {
            FAddresses.append({address, holder});
            continue;
        }
        if (noAddress && address.protocol() == QAbstractSocket::IPv6Protocol)
            continue; // no IPv6 loopback here: nobody can listen on ::1 either
        FError = QStringLiteral("%1: %2").arg(address.toString(), error);
        Release();
        return false;
    }
    FHeldPort = port;
    return true;
}

bool LoopbackServer::Listen() {
    if (isListening())
        return true;
    if (!isHeld()) {
        FError = QStringLiteral("порт не удержан");
        return false;
    }
    for (Address& a : FAddresses) {
        QString error;
        if (a.holder == PortGuard::NoSocket) {
            // Given up by the last listener's close (Windows): hold it again first.
            bool noAddress = false;
            a.holder = PortGuard::Hold(a.address, FHeldPort, &error, &noAddress);
        }
        const qintptr listener = a.holder == PortGuard::NoSocket
                                     ? PortGuard::NoSocket
                                     : PortGuard::Listen(a.address, FHeldPort, &a.holder, Backlog, &error);
        auto* server = listener == PortGuard::NoSocket ? nullptr : new SetupServer(this);
        if (server && !server->setSocketDescriptor(listener)) {
            error = server->errorString();
            delete server; // it did not take the descriptor
            PortGuard::Close(listener);
            server = nullptr;
        }
        if (!server) {
            FError = QStringLiteral("%1: %2").arg(a.address.toString(), error);
            Close();
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, &LoopbackServer::newConnection);
        FListeners.append(server);
    }
    return true;
}

void LoopbackServer::Close() {
    for (SetupServer* server : std::as_const(FListeners)) {
        server->close();
        // Connections accepted but not taken go with it; it may be inside its own signal.
        server->disconnect(this);
        server->deleteLater();
    }
    FListeners.clear();
    if (!isHeld())
        return;
    for (Address& a : FAddresses) {
        if (a.holder != PortGuard::NoSocket)
            continue;
        QString error;
        bool noAddress = false;
        a.holder = PortGuard::Hold(a.address, FHeldPort, &error, &noAddress);
    }
}

void LoopbackServer::Release() {
    FHeldPort = 0; // nothing to hold again once the listeners are closed
    Close();
    for (const Address& a : std::as_const(FAddresses))
        PortGuard::Close(a.holder);
    FAddresses.clear();
}

QList<QHostAddress> LoopbackServer::serverAddresses() const {
    QList<QHostAddress> list;
    for (const SetupServer* server : FListeners)
        list.append(server->serverAddress());
    return list;
}

QAbstractSocket* LoopbackServer::NextPendingSocket() {
    for (SetupServer* server : std::as_const(FListeners)) {
        if (QAbstractSocket* s = server->NextPendingSocket()) {
            s->setParent(this); // outlives the listener it came from
            return s;
        }
    }
    return nullptr;
}
