// The local server's listening socket. The setup program's connections come out of it as
// unbuffered sockets: the relay reads and writes them straight through to the kernel, and
// Qt keeps only what the kernel has not taken yet.
#pragma once

#include <QList>
#include <QTcpServer>

class QAbstractSocket;

class SetupServer : public QTcpServer {
    Q_OBJECT
  public:
    using QTcpServer::QTcpServer;
    // The next connection accepted (a child of the server until the caller reparents it),
    // or null. newConnection tells when there is one.
    QAbstractSocket* NextPendingSocket();

  protected:
    void incomingConnection(qintptr descriptor) override;

  private:
    QList<QAbstractSocket*> FPending;
};
