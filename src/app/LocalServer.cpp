// The local TCP server the setup program connects to, and the hand-over of its bytes.
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "relay/RelayCore.h"
#include "server/LoopbackServer.h"
#include "server/ServerPort.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QAbstractSocket>

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
    // Connections closed here raise no disconnect event and leave FSetupConnected as it is.
    DropSetupConnections();
    DiscardSetupBytes();
}

void TMainKestromForm::DiscardSetupBytes() {
    // Bytes of the setup program still waiting can no longer be delivered in order.
    const qint64 waiting = (FCOMEnd ? FCOMEnd->discard() : 0) + FReadSocket;
    FReadSocket = 0;
    if (waiting > 0)
        AddLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"), QString());
}

int TMainKestromForm::ServerConnectionCount() const {
    return FRelay->SetupCount();
}

QList<QAbstractSocket*> TMainKestromForm::ServerConnections() const {
    return FRelay->SetupSockets();
}

void TMainKestromForm::SendToSetup(int Count) {
    if (!FSetupConnected || Count <= 0)
        return;
    // What the kernel does not take at once waits in the socket, in order; but a setup
    // program that stops reading must not make the wizard hold the device's bytes without
    // end (a serial line cannot be held back).
    qint64 lost = 0;
    switch (FRelay->ToSetup(FDataBuffer, Count, &lost)) {
    case RelayCore::Delivery::LossBegins:
        AddLog(QStringLiteral("Оболочка не принимает данные, данные прибора теряются"), QString());
        break;
    case RelayCore::Delivery::LossEnds:
        AddLog(QStringLiteral("Оболочка снова принимает данные, потеряно байт: %1").arg(lost), QString());
        break;
    default:
        break;
    }
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
    connect(FRelay, &RelayCore::setupReadable, this,
            [this](QAbstractSocket* s) { ServerSocketClientRead(s); });
    connect(FRelay, &RelayCore::setupClosed, this,
            [this](QAbstractSocket* s) { ServerSocketClientDisconnect(s); });
    // The LAN relay's held side goes on once the other side has room; the serial relay's
    // pass takes it up by itself.
    connect(FRelay, &RelayCore::deviceRoom, this, [this] {
        if (ConnectTypeComboBox->currentIndex() == chIP)
            RelayHeldSetupBytes();
    });
    connect(FRelay, &RelayCore::setupRoom, this, [this] {
        if (ConnectTypeComboBox->currentIndex() == chIP && FClientActive)
            ClientSocketRead();
    });
}

void TMainKestromForm::ServerSocketClientConnect(QAbstractSocket* socket) {
    // Small request/response packets must not wait 40 ms for company.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this, socket] { ServerSocketClientError(socket); });
    FSetupConnected = true;
    AddLog(QStringLiteral("Оболочка подключилась к мосту."), QString());
}

void TMainKestromForm::ServerSocketClientDisconnect(QAbstractSocket* socket) {
    // Its last bytes have been read before its close was found: they went on like the rest.
    FRelay->RemoveSetup(socket);
    socket->disconnect(this);
    socket->deleteLater();
    FDeletesPending = true;
    // A setup program that reconnected before its old connection's close was seen is
    // still there: the device's bytes go on to it.
    FSetupConnected = FRelay->SetupCount() > 0;
    AddLog(QStringLiteral("Оболочка отклчилась от моста."), QString());
    // A later connection's bytes may have waited for this one's.
    if (ConnectTypeComboBox->currentIndex() == chIP && FRelay->SetupCount() > 0)
        RelayHeldSetupBytes();
}

void TMainKestromForm::ServerSocketClientRead(QAbstractSocket*) {
    if (ConnectTypeComboBox->currentIndex() == chIP) {
        RelaySetupToPanel(); // straight on to the panel's socket (LANChannel.cpp)
        return;
    }
    // Serial channels: the bytes stay in the socket until the relay pass takes them, a
    // piece at a time and only while the port has room; so a second packet never overwrites
    // one that has not reached the port yet.
}

void TMainKestromForm::ServerSocketClientError(QAbstractSocket*) {
    // Errors on the setup program's connection are silenced; a connection that fails
    // closes and reports itself through the disconnect event.
}
