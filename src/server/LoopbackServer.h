// The local server as the setup program finds it: one port on both loopback addresses
// (127.0.0.1 and ::1; a program connecting to "localhost" may try either first), held for
// this user from the first listen of a connection to its end, listening or not.
#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>

class QAbstractSocket;
class SetupServer;

class LoopbackServer : public QObject {
    Q_OBJECT
  public:
    static constexpr int Backlog = 5;

    explicit LoopbackServer(QObject* parent = nullptr);
    ~LoopbackServer() override;

    // Takes port on both addresses for this user without listening. An address this machine
    // does not have is left out. False (errorString says why) when either is taken.
    bool Hold(quint16 port);
    bool isHeld() const { return FHeldPort != 0; }
    quint16 heldPort() const { return FHeldPort; }
    // Listens on the held port, on every address held.
    bool Listen();
    // Stops listening: connects are refused, the port stays held. Connections already
    // accepted are the caller's.
    void Close();
    // Stops listening and gives the port back.
    void Release();

    bool isListening() const { return !FListeners.isEmpty(); }
    quint16 serverPort() const { return isListening() ? FHeldPort : 0; }
    // The addresses listened on.
    QList<QHostAddress> serverAddresses() const;
    QString errorString() const { return FError; }

    // The next connection accepted (a child of this object until the caller reparents it),
    // or null. newConnection tells when there is one.
    QAbstractSocket* NextPendingSocket();

  signals:
    void newConnection();

  private:
    struct Address {
        QHostAddress address;
        qintptr holder;
    };
    QList<Address> FAddresses;
    QList<SetupServer*> FListeners;
    quint16 FHeldPort = 0;
    QString FError;
};
