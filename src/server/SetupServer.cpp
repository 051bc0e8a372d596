#include "server/SetupServer.h"

#include <QAbstractSocket>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace {
void closeDescriptor(qintptr descriptor) {
#ifdef Q_OS_WIN
    ::closesocket(SOCKET(descriptor));
#else
    ::close(int(descriptor));
#endif
}
} // namespace

QAbstractSocket* SetupServer::NextPendingSocket() {
    return FPending.isEmpty() ? nullptr : FPending.takeFirst();
}

void SetupServer::incomingConnection(qintptr descriptor) {
    // A QTcpSocket is always buffered when it wraps a descriptor (Qt reads whatever arrives
    // into its own buffer first); the plain socket type honours Unbuffered.
    auto* socket = new QAbstractSocket(QAbstractSocket::TcpSocket, this);
    if (!socket->setSocketDescriptor(descriptor, QAbstractSocket::ConnectedState,
                                     QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        delete socket; // the descriptor was not taken: it is ours to close
        closeDescriptor(descriptor);
        return;
    }
    FPending.append(socket);
}
