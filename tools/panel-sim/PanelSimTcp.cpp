// The panel over TCP: its listener and its one connection, dropping and resetting it,
// streaming and the fast echo for the bench.
#include "PanelSimShared.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace PanelSimDetail;

bool PanelSim::startTcp(quint16 port) {
    stop();
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, &PanelSim::onNewConnection);
    if (!m_server->listen(QHostAddress::LocalHost, port)) {
        m_error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    m_tcpPort = m_server->serverPort();
    restartDialogue();
    return true;
}

void PanelSim::dropClient(bool reset) {
    QTcpSocket* client = m_client;
    if (!client)
        return;
    m_client = nullptr;
    m_queue.clear();
    m_timer->stop();
    client->disconnect(this);
    if (reset) {
        // What the panel wrote goes to the network first, as a panel's own stack would have
        // sent it; the reset follows it.
        client->flush();
        // Linger on with a zero time: close() sends RST instead of FIN.
        struct linger hard {};
        hard.l_onoff = 1;
        hard.l_linger = 0;
        ::setsockopt(static_cast<int>(client->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        client->abort();
    } else {
        client->disconnectFromHost(); // what is queued still goes out, then FIN
    }
    client->deleteLater();
    restartDialogue();
}

void PanelSim::stopListening(bool reset) {
    dropClient(reset);
    if (m_server)
        m_server->close();
}

bool PanelSim::listenAgain() {
    if (!m_server)
        return false;
    if (m_server->isListening())
        return true;
    // A port just closed may linger in TIME_WAIT only on the client's side; listening again
    // on our side succeeds at once.
    if (!m_server->listen(QHostAddress::LocalHost, m_tcpPort)) {
        m_error = m_server->errorString();
        return false;
    }
    return true;
}

bool PanelSim::isListening() const {
    return m_server && m_server->isListening();
}

void PanelSim::streamMore() {
    if (!m_client || !m_config.streamOnConnect)
        return;
    // Keep a little queued and top it up as it drains, so memory stays flat.
    static const QByteArray chunk = [] {
        QByteArray b(16 * 1024, '\0');
        for (qsizetype i = 0; i < b.size(); ++i)
            b[i] = static_cast<char>('A' + i % 26);
        return b;
    }();
    while (m_client->bytesToWrite() < 4 * chunk.size()) {
        m_client->write(chunk);
        m_streamed += chunk.size();
    }
}

quint16 PanelSim::tcpPort() const {
    return m_server ? m_tcpPort : 0;
}

// The client's connection echoed on its descriptor, past QTcpSocket: a read straight
// back as one write. What the socket still holds (the version answer) goes out first.
// Beyond MaxPendingOutput unsent nothing more is read, and TCP holds the client back:
// over TCP no byte is dropped. The event loop takes over again for a signal, a new
// client knocking, and the client's close or error, which the socket then reports.
void PanelSim::runFastTcpEcho() {
    const QPointer<QTcpSocket> client = m_client;
    if (!client || !m_deviceMode || client->state() != QAbstractSocket::ConnectedState)
        return;
    if (!m_queue.isEmpty()) {
        // A late answer is still due (--delay): echo only after it, in order.
        QTimer::singleShot(std::max(1, m_config.delayMs), this, &PanelSim::runFastTcpEcho);
        return;
    }
    const int fd = static_cast<int>(client->socketDescriptor());
    const int listener =
        m_server && m_server->isListening() ? static_cast<int>(m_server->socketDescriptor()) : -1;
    const int stop = m_config.stopDescriptor;
    // The bytes the socket holds, handed to the kernel first (flush() never blocks).
    while (client && client == m_client && client->bytesToWrite() > 0) {
        if (client->flush())
            continue;
        pollfd p[3] = {{fd, POLLOUT, 0}, {listener, POLLIN, 0}, {stop, POLLIN, 0}};
        const int r = ::poll(p, 3, -1);
        if (r < 0 && errno != EINTR)
            return;
        if (r > 0 && (p[1].revents || p[2].revents || (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))))
            return; // a new client, a signal, a failed socket: the event loop sees to it
    }
    if (!client || client != m_client)
        return; // the socket failed while flushing and is gone

    std::vector<char> buffer(64 * 1024);
    QByteArray pending; // read, not yet written back: bytes from `sentOf` on
    qsizetype sentOf = 0;
    for (;;) {
        const qsizetype unsent = pending.size() - sentOf;
        pollfd p[3] = {{fd, 0, 0}, {listener, POLLIN, 0}, {stop, POLLIN, 0}};
        if (unsent < MaxPendingOutput)
            p[0].events |= POLLIN;
        if (unsent > 0)
            p[0].events |= POLLOUT;
        const int r = ::poll(p, 3, -1); // negative descriptors are passed over
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (p[1].revents || p[2].revents)
            break; // a new client or a signal
        if (p[0].revents & (POLLERR | POLLNVAL))
            break;
        if (unsent > 0 && (p[0].revents & POLLOUT)) {
            const ssize_t w =
                ::send(fd, pending.constData() + sentOf, static_cast<size_t>(unsent), MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                break;
            if (w > 0)
                sentOf += w;
            if (sentOf == pending.size()) {
                pending.clear();
                sentOf = 0;
            } else if (sentOf >= pending.size() / 2) {
                pending.remove(0, sentOf);
                sentOf = 0;
            }
        }
        if (p[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                break; // closed or failed: the socket reports it from the event loop
            if (n < 0)
                continue;
            // Straight back when nothing waits before it; the rest keeps its order.
            ssize_t w = 0;
            if (pending.size() == sentOf)
                w = std::max<ssize_t>(0, ::send(fd, buffer.data(), static_cast<size_t>(n), MSG_NOSIGNAL));
            if (w < n)
                pending.append(buffer.data() + w, n - w);
        }
    }
    // Echo still owed goes through the socket, in order, once the event loop runs again.
    if (pending.size() > sentOf && client && client == m_client &&
        client->state() == QAbstractSocket::ConnectedState)
        client->write(pending.constData() + sentOf, pending.size() - sentOf);
}

void PanelSim::holdReading(bool hold) {
    m_holdReading = hold;
    if (!m_client)
        return;
    m_client->setReadBufferSize(hold ? HeldReadBuffer : 0);
    if (!hold && m_client->bytesAvailable() > 0)
        onBytes(m_client->readAll());
}

void PanelSim::onNewConnection() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        if (m_client) {
            m_client->disconnect(this);
            m_client->abort();
            m_client->deleteLater();
        }
        m_client = socket;
        ++m_connections;
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
            if (socket == m_client)
                streamMore();
        });
        if (m_holdReading)
            socket->setReadBufferSize(HeldReadBuffer);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            if (socket == m_client && !m_holdReading)
                onBytes(socket->readAll());
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (socket == m_client)
                m_client = nullptr;
            socket->deleteLater();
        });
        // A new connection is a new session with the panel.
        m_queue.clear();
        m_timer->stop();
        restartDialogue();
        emit clientConnected();
        streamMore();
    }
}
