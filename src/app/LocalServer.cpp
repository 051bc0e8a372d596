// The local TCP server the setup program connects to, and the hand-over of its bytes.
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "server/ServerPort.h"
#include "settings/TPCServerSettingsUnit.h"

#include <QTcpServer>
#include <QTcpSocket>
#ifdef Q_OS_WIN
#include <winsock2.h>
#undef MessageBox // <windows.h> names its own; ours is Platform::MessageBox
#else
#include <sys/ioctl.h>
#endif

quint16 TMainKestromForm::ServerPort() const {
    return ServerSocket->isListening() ? ServerSocket->serverPort() : 0;
}

bool TMainKestromForm::StartServer() {
    if (ServerSocket->isListening())
        StopServer();
    const quint16 port =
        EffectiveServerPort(TCPServerSettingsForm ? TCPServerSettingsForm->PortEdit->text() : QString());
    if (TCPServerSettingsForm)
        TCPServerSettingsForm->PortEdit->setText(QString::number(port));
    // Loopback only: the setup program runs on this machine, and a listener on every
    // interface would hand the panel, its master code already presented, to the network.
    if (ServerSocket->listen(QHostAddress::LocalHost, port))
        return true;
    const QString reason = ServerSocket->errorString();
    AddLog(QStringLiteral("Не удалось открыть порт %1 для оболочки: %2").arg(port).arg(reason), QString());
    Platform::MessageBox(
        this,
        QStringLiteral("Не удалось открыть TCP порт %1 для программы настройки: %2").arg(port).arg(reason),
        QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
    return false;
}

void TMainKestromForm::DropSetupConnections() {
    const QList<QTcpSocket*> connections = FServerConnections;
    FServerConnections.clear();
    for (QTcpSocket* s : connections) {
        s->disconnect(this);
        s->abort();
        s->deleteLater();
        FDeletesPending = true;
    }
}

void TMainKestromForm::StopServer() {
    ServerSocket->close();
    // Connections closed here raise no disconnect event and leave FSetupConnected as it is.
    DropSetupConnections();
    DiscardSetupBytes();
}

void TMainKestromForm::DiscardSetupBytes() {
    // Bytes of the setup program still waiting can no longer be delivered in order.
    if (FSetupQueue.isEmpty() && FReadSocket == 0)
        return;
    AddLog(QStringLiteral("Соединение было прервано, последний пакет не доставлен"), QString());
    FSetupQueue.clear();
    FReadSocket = 0;
    FSetupWritten = 0;
}

void TMainKestromForm::SendToSetup(int Count) {
    if (!FSetupConnected || FServerConnections.isEmpty() || Count <= 0)
        return;
    QTcpSocket* socket = FServerConnections.first();
    // The socket buffers whatever the kernel does not take at once, so nothing is cut
    // short; but a setup program that stops reading must not make the wizard hold the
    // device's bytes without end.
    if (socket->bytesToWrite() + Count > SetupSendLimit) {
        if (FSetupLost == 0)
            AddLog(QStringLiteral("Оболочка не принимает данные, данные прибора теряются"), QString());
        FSetupLost += Count;
        return;
    }
    if (FSetupLost > 0) {
        AddLog(QStringLiteral("Оболочка снова принимает данные, потеряно байт: %1").arg(FSetupLost),
               QString());
        FSetupLost = 0;
    }
    socket->write(FDataBuffer, Count);
    // Straight to the kernel: waiting for the socket's write notifier would cost the
    // piece another round of the event loop.
    socket->flush();
}

namespace {
// Bytes the kernel still holds for the socket, beyond what Qt has read into its buffer.
int KernelPending(const QTcpSocket* socket) {
    const qintptr fd = socket->socketDescriptor();
#ifdef Q_OS_WIN
    u_long n = 0;
    if (fd < 0 || ::ioctlsocket(SOCKET(fd), FIONREAD, &n) != 0)
        return 0;
    return int(n);
#else
    int n = 0;
    if (fd < 0 || ::ioctl(int(fd), FIONREAD, &n) != 0)
        return 0;
    return n;
#endif
}
} // namespace

bool TMainKestromForm::EarlierSetupBytesPending(const QTcpSocket* Socket) const {
    for (const QTcpSocket* earlier : FServerConnections) {
        if (earlier == Socket)
            return false;
        if (earlier->bytesAvailable() > 0 || KernelPending(earlier) > 0)
            return true;
    }
    return false;
}

void TMainKestromForm::PullSetupBytes() {
    for (qsizetype i = 0; i < FServerConnections.size(); ++i) {
        QTcpSocket* socket = FServerConnections.at(i);
        while (FSetupQueue.size() < SetupQueueLimit) {
            const qint64 waiting = socket->bytesAvailable();
            if (waiting <= 0)
                break;
            const qsizetype at = FSetupQueue.size();
            const qint64 want = qMin<qint64>(waiting, SetupQueueLimit - at);
            FSetupQueue.resize(at + want);
            const qint64 got = socket->read(FSetupQueue.data() + at, want);
            FSetupQueue.resize(at + qMax<qint64>(0, got));
            if (got <= 0)
                break;
        }
        // Held back with bytes still waiting (in its buffer, or in the kernel while Qt's
        // buffer was full): a later connection's bytes (a restarted setup program) wait
        // until this one is drained, or the two would reach the device interleaved. With
        // no later connection (the usual case) there is nothing to ask the kernel.
        const bool last = i + 1 == FServerConnections.size();
        if (!last && (socket->bytesAvailable() > 0 || KernelPending(socket) > 0))
            break;
    }
}

void TMainKestromForm::ServerSocketClientConnect(QTcpSocket* socket) {
    // Bounded: while the serial relay's queue is full nobody reads this socket, Qt stops
    // taking bytes from the kernel at this size, and TCP flow control holds the setup
    // program. The LAN relay paces this socket itself.
    if (ConnectTypeComboBox->currentIndex() != chIP)
        socket->setReadBufferSize(SetupReadBufferSize);
    WatchSetupConnection(socket);
    FSetupConnected = true;
    AddLog(QStringLiteral("Оболочка подключилась к мосту."), QString());
}

void TMainKestromForm::ServerSocketClientDisconnect(QTcpSocket* socket) {
    // A setup program that sent its last bytes and closed: while the relay held it back,
    // they still wait in the socket, and they go on to the device like the rest.
    if (socket->bytesAvailable() > 0) {
        if (ConnectTypeComboBox->currentIndex() == chIP)
            RelaySetupToPanel(socket, true);
        else
            FSetupQueue += socket->readAll(); // past the bound by at most one read buffer
    }
    FServerConnections.removeAll(socket);
    socket->deleteLater();
    FSetupConnected = false;
    AddLog(QStringLiteral("Оболочка отклчилась от моста."), QString());
    // A later connection's bytes may have waited for this one's.
    if (ConnectTypeComboBox->currentIndex() == chIP && !FServerConnections.isEmpty())
        RelayHeldSetupBytes();
}

void TMainKestromForm::ServerSocketClientRead(QTcpSocket* socket) {
    if (ConnectTypeComboBox->currentIndex() == chIP) {
        RelaySetupToPanel(socket); // straight on to the panel's socket (LANChannel.cpp)
        // An older connection drained: a later one's bytes may have waited for it.
        if (FServerConnections.size() > 1 && FServerConnections.last() != socket)
            RelayHeldSetupBytes();
        return;
    }
    // Queued in arrival order; the relay stages at most one buffer at a time, so a second
    // packet never overwrites one that has not reached the port yet. A full queue leaves
    // the bytes in the socket until the port drains.
    PullSetupBytes();
}

void TMainKestromForm::ServerSocketClientError(QTcpSocket*) {
    // Errors on the setup program's connection are silenced; a connection that fails
    // closes and reports itself through the disconnect event.
}
