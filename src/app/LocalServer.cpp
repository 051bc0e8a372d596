// The local TCP server the setup program connects to, and the hand-over of its bytes.
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "relay/RelayCore.h"
#include "server/LoopbackServer.h"
#include "server/ServerPort.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QAbstractSocket>
#include <utility>

quint16 TMainKestromForm::ServerPort() const {
    return ServerSocket->isListening() ? ServerSocket->serverPort() : 0;
}

bool TMainKestromForm::StartServer() {
    if (ServerSocket->isListening())
        StopServer(ServerStop::KeepPort);
    const quint16 port =
        EffectiveServerPort(TCPServerSettingsForm ? TCPServerSettingsForm->PortEdit->text() : QString());
    if (TCPServerSettingsForm)
        TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    // Loopback only: the setup program runs on this machine, and a listener on every
    // interface would hand the panel, its master code already presented, to the network.
    // Within a connection the port kept since its first start is used again: the setup
    // program knows that one, and no other program has been able to take it meanwhile.
    const quint16 used = ServerSocket->isHeld() ? ServerSocket->heldPort() : port;
    if ((ServerSocket->isHeld() || ServerSocket->Hold(port)) && ServerSocket->Listen())
        return true;
    const QString reason = ServerSocket->errorString();
    // Nothing listens and nothing is kept: the caller ends the connection.
    ServerSocket->Release();
    AddLog(QStringLiteral("Не удалось открыть порт %1 для оболочки: %2").arg(used).arg(reason), QString());
    Platform::MessageBox(
        this,
        QStringLiteral("Не удалось открыть TCP порт %1 для программы настройки: %2").arg(used).arg(reason),
        QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
    return false;
}

void TMainKestromForm::DropSetupConnections() {
    FRelay->DropSetup();
    FDeletesPending = true;
}

void TMainKestromForm::StopServer(ServerStop How) {
    if (How == ServerStop::KeepPort)
        ServerSocket->Close();
    else
        ServerSocket->Release();
    // Connections closed here raise no disconnect event; FSetupConnected follows the list.
    DropSetupConnections();
    DiscardSetupBytes();
}

void TMainKestromForm::DiscardSetupBytes() {
    // Bytes of the setup program still waiting can no longer be delivered in order.
    const qint64 waiting = (FCOMEnd ? FCOMEnd->discard() : 0) + FReadSocket;
    FReadSocket = 0;
    if (waiting > 0)
        LogFate(RelayCore::Direction::ToDevice, {RelayCore::Delivery::Ended});
}

int TMainKestromForm::ServerConnectionCount() const {
    return FRelay->SetupCount();
}

QList<QAbstractSocket*> TMainKestromForm::ServerConnections() const {
    return FRelay->SetupSockets();
}

void TMainKestromForm::SendToSetup(int Count) {
    if (Count <= 0)
        return;
    // What the kernel does not take at once waits in the socket, in order; a setup program
    // that stops reading, or none connected, loses the device's bytes, and the log says so.
    LogFate(RelayCore::Direction::ToSetup, FRelay->ToSetup(FDataBuffer, Count));
}

void TMainKestromForm::LogFate(RelayCore::Direction Direction, const RelayCore::Fate& Fate) {
    using Delivery = RelayCore::Delivery;
    const bool toSetup = Direction == RelayCore::Direction::ToSetup;
    QString line;
    switch (Fate.delivery) {
    case Delivery::Sent:
        if (Fate.lostBefore > 0)
            line = (toSetup ? QStringLiteral("Оболочка снова принимает данные, потеряно байт: %1")
                            : QStringLiteral("Прибор снова принимает данные, потеряно байт: %1"))
                       .arg(Fate.lostBefore);
        break;
    case Delivery::Ended:
        line = QStringLiteral("Соединение было прервано, последний пакет не доставлен");
        break;
    case Delivery::NoSetup:
        // The panel's socket reports every piece it cannot hand over; the serial line
        // the loss's beginning (and its end with the count).
        if (FRelayChannel == RelayChannel::LAN)
            line = QStringLiteral("Ошибка при ображении к оболочке");
        else if (Fate.lossBegins)
            line = QStringLiteral("Оболочка не подключена, данные прибора теряются");
        break;
    case Delivery::Lost:
        if (Fate.lossBegins)
            line = QStringLiteral("Оболочка не принимает данные, данные прибора теряются");
        break;
    case Delivery::NoDevice:
        if (Fate.lossBegins)
            line = QStringLiteral("Прибор не подключен, данные оболочки теряются");
        break;
    case Delivery::Held:
    case Delivery::Failed: // the channel's own failure lines follow
        break;
    }
    if (!line.isEmpty())
        AddLog(line, QString());
}

void TMainKestromForm::UseRelayChannel(RelayChannel Channel) {
    FRelayChannel = Channel;
    for (const QMetaObject::Connection& c : std::exchange(FChannelRelayWires, {}))
        disconnect(c);
    if (Channel == RelayChannel::Serial) {
        // The relay pass takes the setup program's bytes as it comes round; a serial line
        // cannot be held back, so what the setup program does not take is dropped.
        FRelay->StartConnection({SetupQueueLimit, SetupSendLimit, RelayCore::Overflow::Drop});
        return;
    }
    // The panel is held back (TCP) while the setup program does not keep up, and the setup
    // program while the panel does not; each side goes on once the other has room.
    FRelay->StartConnection({LANQueueLimit, LANQueueLimit, RelayCore::Overflow::HoldDevice});
    FChannelRelayWires = {
        connect(FRelay, &RelayCore::setupReadable, this,
                [this](QAbstractSocket* s) { ServerSocketClientRead(s); }),
        connect(FRelay, &RelayCore::deviceRoom, this, [this] { RelayHeldSetupBytes(); }),
        connect(FRelay, &RelayCore::setupRoom, this,
                [this] {
                    if (FClientActive)
                        ClientSocketRead();
                }),
        // A later connection's bytes may have waited for the one that ended. From the event
        // loop: the close is found inside a read whose piece still sits in FSetupBuffer,
        // which a read from here would overwrite before it reaches the panel.
        connect(
            FRelay, &RelayCore::setupClosed, this,
            [this] {
                if (FRelayChannel == RelayChannel::LAN && FRelay->SetupCount() > 0)
                    RelayHeldSetupBytes();
            },
            Qt::QueuedConnection),
    };
}

void TMainKestromForm::WireRelay() {
    connect(ServerSocket, &LoopbackServer::newConnection, this, [this] {
        while (QAbstractSocket* s = ServerSocket->NextPendingSocket()) {
            if (!AcceptSetupPeer(s))
                continue; // another account's program: closed unread
            FRelay->AddSetup(s);
            ServerSocketClientConnect(s);
        }
    });
    // A setup program that reconnected before its old connection's close was seen is still
    // there: the device's bytes go on to it.
    connect(FRelay, &RelayCore::setupCountChanged, this, [this](int count) { FSetupConnected = count > 0; });
    connect(FRelay, &RelayCore::setupClosed, this,
            [this](QAbstractSocket* s) { ServerSocketClientDisconnect(s); });
}

void TMainKestromForm::ServerSocketClientConnect(QAbstractSocket* socket) {
    // Small request/response packets must not wait 40 ms for company.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket] { ServerSocketClientError(socket); });
    AddLog(QStringLiteral("Оболочка подключилась к мосту."), QString());
}

void TMainKestromForm::ServerSocketClientDisconnect(QAbstractSocket* socket) {
    // Its last bytes have been read before its close was found: they went on like the rest.
    FRelay->RemoveSetup(socket);
    socket->disconnect(this);
    socket->deleteLater();
    FDeletesPending = true;
    AddLog(QStringLiteral("Оболочка отклчилась от моста."), QString());
}

// Wired on the LAN channel only: the serial channels' bytes stay in the socket until the
// relay pass takes them, a piece at a time and only while the port has room.
void TMainKestromForm::ServerSocketClientRead(QAbstractSocket*) {
    RelaySetupToPanelOnce(); // straight on to the panel's socket (LANChannel.cpp)
}

void TMainKestromForm::ServerSocketClientError(QAbstractSocket*) {
    // Errors on the setup program's connection are silenced; a connection that fails
    // closes and reports itself through the disconnect event.
}
