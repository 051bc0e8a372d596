#include "PanelSim.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Output the panel could not hand to the pseudo-terminal yet (the program has the port
// closed and the kernel's buffer is full). Beyond this the oldest bytes go: a real
// panel's transmitter does not wait for anybody either.
constexpr qsizetype MaxPendingOutput = 1 << 20;
// What Qt takes from a held connection before it leaves the rest in the kernel.
constexpr qint64 HeldReadBuffer = 4096;
// Longest line the dialogue waits for; longer input is device data.
constexpr qsizetype MaxCommandLength = 256;
// Device bytes kept while a script waits for a request to appear.
constexpr qsizetype MaxScriptInput = 1 << 16;

const QByteArray StandardOk = "OK\r\n";
const QByteArray StandardError = "ERROR\r\n";
const QByteArray OldOk = "OK\r";
const QByteArray OldError = "ERROR\r";
const QByteArray RbCommand = "+rb\r";

QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
}

// Standard commands have upper-case names ("+VER_INFO", "+K5_STOP_PANEL") and end in
// CR LF; old-style ones are lower case ("+v", "+id", "+rb") and end in CR alone.
bool isStandardCommand(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    const QByteArray name = line.left(eq < 0 ? line.size() : eq);
    if (name.size() < 2)
        return false;
    return std::all_of(name.begin() + 1, name.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One side of a script line: quoted strings and bare hex bytes.
bool parseScriptSide(const QByteArray& text, QByteArray& out) {
    out.clear();
    qsizetype i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '"') {
            QByteArray raw;
            ++i;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < text.size())
                    raw += text[i++];
                raw += text[i++];
            }
            if (i >= text.size())
                return false; // unterminated string
            ++i;
            bool ok = true;
            out += PanelSim::unescape(raw, &ok);
            if (!ok)
                return false;
        } else {
            if (i + 1 >= text.size())
                return false;
            const int hi = hexValue(text[i]);
            const int lo = hexValue(text[i + 1]);
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        }
    }
    return true;
}

// Points the link at target in one step: a program watching the name never sees it missing.
bool pointLinkAt(const QString& linkPath, const QByteArray& target) {
    const QByteArray link = QFile::encodeName(linkPath);
    const QByteArray temp = link + ".new-" + QByteArray::number(::getpid());
    ::unlink(temp.constData());
    if (::symlink(target.constData(), temp.constData()) == 0 &&
        ::rename(temp.constData(), link.constData()) == 0)
        return true;
    const int error = errno;
    ::unlink(temp.constData());
    errno = error; // for the caller's message
    return false;
}

} // namespace

// ---------------------------------------------------------------- PseudoTerminal

PseudoTerminal::PseudoTerminal(const QString& linkPath) : m_linkPath(linkPath) {
    if (m_linkPath.isEmpty()) {
        m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kestrom-pty-XXXXXX"));
        m_linkPath = m_dir->filePath(QStringLiteral("ttySIM0"));
    }
}

PseudoTerminal::~PseudoTerminal() {
    unplug();
    if (m_linkMade && !m_dir)
        ::unlink(QFile::encodeName(m_linkPath).constData());
}

bool PseudoTerminal::plug() {
    if (isPlugged())
        return true;
    if (m_dir && !m_dir->isValid()) {
        m_error = QStringLiteral("cannot create a temporary directory");
        return false;
    }
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        m_error = errnoText("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::ptsname_r(master, name, sizeof name) != 0) {
        m_error = errnoText("pseudo-terminal setup");
        ::close(master);
        return false;
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
        m_error = errnoText("open slave");
        ::close(master);
        return false;
    }
    // Raw from the start, so that nothing echoes or gets translated while the
    // program has not opened (and configured) the port yet.
    struct termios tio {};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cflag |= CLOCAL;
    ::tcsetattr(slave, TCSANOW, &tio);

    if (!pointLinkAt(m_linkPath, name)) {
        m_error = errnoText("symlink");
        ::close(slave);
        ::close(master);
        return false;
    }
    m_linkMade = true;
    m_master = master;
    m_slave = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    return true;
}

void PseudoTerminal::unplug() {
    const bool wasPlugged = isPlugged();
    // The kept slave first: closing the master then hangs up the program's
    // descriptors and removes the /dev/pts node.
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = -1;
    m_master = -1;
    m_devicePath.clear();
    // The name stays, dangling, like a pulled adapter's. Not at the old /dev/pts node:
    // its number goes to the next pseudo-terminal opened on this machine, and a program
    // reopening the name would get some other program's terminal.
    if (wasPlugged && m_linkMade)
        pointLinkAt(m_linkPath, QFile::encodeName(m_linkPath) + ".unplugged");
}

// ---------------------------------------------------------------- PanelSim

PanelSim::PanelSim(QObject* parent) : PanelSim(Config{}, parent) {}

PanelSim::PanelSim(const Config& config, QObject* parent) : QObject(parent), m_config(config) {
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    // Coarse timers may fire up to 5 % early; a late answer must not come early.
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] {
        if (!m_queue.isEmpty())
            m_queue.first().delayMs = 0;
        pump();
    });
    m_drainTimer = new QTimer(this);
    m_drainTimer->setTimerType(Qt::PreciseTimer);
    connect(m_drainTimer, &QTimer::timeout, this, &PanelSim::drainTick);
    for (QTimer** t : {&m_escapeTimer, &m_dialTimer, &m_hangupTimer}) {
        *t = new QTimer(this);
        (*t)->setSingleShot(true);
        (*t)->setTimerType(Qt::PreciseTimer);
    }
    connect(m_escapeTimer, &QTimer::timeout, this, [this] {
        if (m_plus == 3 && m_plusClock.elapsed() >= m_config.modem.guardMs)
            completeEscape();
        else if (m_plus == 3)
            m_escapeTimer->start(1);
    });
    connect(m_dialTimer, &QTimer::timeout, this, &PanelSim::dialResult);
    connect(m_hangupTimer, &QTimer::timeout, this, &PanelSim::farEndHangup);
}

PanelSim::~PanelSim() {
    stop();
}

bool PanelSim::startPty(const QString& linkPath) {
    stop();
    m_pty = std::make_unique<PseudoTerminal>(linkPath);
    if (!m_pty->plug()) {
        m_error = m_pty->errorString();
        m_pty.reset();
        return false;
    }
    attachPty();
    restartDialogue();
    return true;
}

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

void PanelSim::stop() {
    detachPty();
    m_pty.reset();
    if (m_client) {
        m_client->disconnect(this);
        m_client->abort();
        m_client->deleteLater();
        m_client = nullptr;
    }
    delete m_server;
    m_server = nullptr;
    m_tcpPort = 0;
    m_queue.clear();
    if (m_timer)
        m_timer->stop();
}

QString PanelSim::portName() const {
    if (m_pty)
        return m_pty->linkPath();
    if (m_server)
        return QStringLiteral("127.0.0.1:%1").arg(m_tcpPort);
    return {};
}

QString PanelSim::devicePath() const {
    return m_pty ? m_pty->devicePath() : QString();
}

quint16 PanelSim::tcpPort() const {
    return m_server ? m_tcpPort : 0;
}

void PanelSim::unplug() {
    if (!m_pty)
        return;
    detachPty();
    m_pty->unplug();
    // Whatever was on its way to the program is lost with the adapter.
    m_queue.clear();
    m_timer->stop();
}

bool PanelSim::replug() {
    if (!m_pty)
        return false;
    if (m_pty->isPlugged())
        return true;
    if (!m_pty->plug()) {
        m_error = m_pty->errorString();
        return false;
    }
    attachPty();
    return true;
}

bool PanelSim::isPlugged() const {
    return m_pty ? m_pty->isPlugged() : m_server != nullptr;
}

void PanelSim::send(const QByteArray& bytes) {
    queue(bytes, 0);
}

void PanelSim::clearRecords() {
    m_modemCommands.clear();
    m_received.clear();
    m_deviceData.clear();
    m_commands.clear();
    m_codeAccepted = false;
    m_panelStopped = false;
    m_rbReceived = false;
}

void PanelSim::attachPty() {
    m_ptyOut.clear();
    const int fd = m_pty->masterFd();
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &PanelSim::readPty);
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &PanelSim::flushPty);
}

void PanelSim::detachPty() {
    if (m_drainTimer)
        m_drainTimer->stop();
    delete m_readNotifier;
    delete m_writeNotifier;
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    m_ptyOut.clear();
}

void PanelSim::readPty() {
    if (!m_pty || !m_pty->isPlugged())
        return;
    char buffer[4096];
    QByteArray got;
    for (;;) {
        const ssize_t n = ::read(m_pty->masterFd(), buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // EIO: no slave open. Cannot happen while the kept slave is open; should it
        // happen, a notifier left on would fire without end.
        m_readNotifier->setEnabled(false);
        break;
    }
    if (!got.isEmpty())
        onBytes(got);
    if (m_deviceMode && m_config.drainBytes > 0 && m_readNotifier && m_readNotifier->isEnabled()) {
        // The dialogue is over: from now on the line is read at its own pace.
        m_readNotifier->setEnabled(false);
        m_drainTimer->start(std::max(1, m_config.drainPeriodMs));
    }
}

void PanelSim::drainTick() {
    if (!m_pty || !m_pty->isPlugged()) {
        m_drainTimer->stop();
        return;
    }
    QByteArray got(m_config.drainBytes, Qt::Uninitialized);
    ssize_t n;
    do {
        n = ::read(m_pty->masterFd(), got.data(), static_cast<size_t>(got.size()));
    } while (n < 0 && errno == EINTR);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        m_drainTimer->stop();
        return;
    }
    if (n > 0) {
        got.truncate(n);
        onBytes(got);
    }
}

void PanelSim::runFastEcho() {
    if (!m_pty || !m_pty->isPlugged())
        return;
    const int fd = m_pty->masterFd();
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        pollfd p[2] = {{fd, POLLIN, 0}, {m_config.stopDescriptor, POLLIN, 0}};
        if (m_ptyOut.size() >= MaxPendingOutput)
            p[0].events = 0;
        if (!m_ptyOut.isEmpty())
            p[0].events |= POLLOUT;
        const int r = ::poll(p, m_config.stopDescriptor >= 0 ? 2 : 1, -1);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (p[1].revents)
            break; // a signal: the event loop handles it
        if (p[0].revents & (POLLERR | POLLNVAL))
            break;
        if (p[0].revents & POLLOUT) {
            const ssize_t w = ::write(fd, m_ptyOut.constData(), static_cast<size_t>(m_ptyOut.size()));
            if (w > 0)
                m_ptyOut.remove(0, w);
        }
        if (p[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (n <= 0)
                continue;
            // Straight back when nothing waits before it; the rest keeps its order.
            ssize_t w = 0;
            if (m_ptyOut.isEmpty())
                w = std::max<ssize_t>(0, ::write(fd, buffer.data(), static_cast<size_t>(n)));
            if (w < n)
                m_ptyOut.append(buffer.data() + w, n - w);
        }
    }
    m_readNotifier->setEnabled(true);
    m_writeNotifier->setEnabled(!m_ptyOut.isEmpty());
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

void PanelSim::flushPty() {
    if (!m_pty || !m_pty->isPlugged()) {
        m_ptyOut.clear();
        return;
    }
    while (!m_ptyOut.isEmpty()) {
        const ssize_t n =
            ::write(m_pty->masterFd(), m_ptyOut.constData(), static_cast<size_t>(m_ptyOut.size()));
        if (n > 0) {
            m_ptyOut.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            m_ptyOut.clear();
        break;
    }
    if (m_ptyOut.size() > MaxPendingOutput)
        m_ptyOut.remove(0, m_ptyOut.size() - MaxPendingOutput);
    m_writeNotifier->setEnabled(!m_ptyOut.isEmpty());
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

void PanelSim::writeOut(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    if (m_pty) {
        m_ptyOut += bytes;
        flushPty();
    } else if (m_client) {
        m_client->write(bytes);
    }
}

void PanelSim::queue(const QByteArray& bytes, int delayMs) {
    if (m_config.silent || bytes.isEmpty())
        return;
    m_queue.append({bytes, std::max(0, delayMs)});
    pump();
}

// Writes out queued chunks in order; a chunk with a delay holds back everything after it.
void PanelSim::pump() {
    if (m_timer->isActive())
        return;
    while (!m_queue.isEmpty()) {
        Chunk& head = m_queue.first();
        if (head.delayMs > 0) {
            m_timer->start(head.delayMs);
            return;
        }
        const QByteArray bytes = head.bytes;
        m_queue.removeFirst();
        writeOut(bytes);
    }
}

void PanelSim::reply(const QByteArray& answer) {
    const int parts =
        std::clamp<int>(m_config.splitParts, 1, std::max<int>(1, static_cast<int>(answer.size())));
    const qsizetype size = (answer.size() + parts - 1) / parts;
    for (int i = 0; i < parts; ++i) {
        const int delay = i == 0 ? m_config.delayMs : m_config.splitPauseMs;
        queue(answer.mid(i * size, size), delay);
    }
}

void PanelSim::onBytes(const QByteArray& bytes) {
    m_received += bytes;
    emit dataReceived(bytes);
    if (m_config.modem.enabled)
        onModemBytes(bytes);
    else
        onPanelBytes(bytes);
}

void PanelSim::onPanelBytes(const QByteArray& bytes) {
    if (m_deviceMode)
        onDeviceBytes(bytes);
    else
        onDialogueBytes(bytes);
}

// The dialogue holds while the input looks like commands: lines that start with "+".
// The first byte that cannot begin a command, or a line too long to be one, ends it,
// and everything from there on is device data.
void PanelSim::onDialogueBytes(const QByteArray& bytes) {
    m_line += bytes;
    while (!m_deviceMode) {
        // Line ends left between commands (the LF of a CR LF sent late).
        qsizetype start = 0;
        while (start < m_line.size() && (m_line[start] == '\r' || m_line[start] == '\n'))
            ++start;
        m_line.remove(0, start);
        if (m_line.isEmpty())
            return;
        if (m_line[0] != '+') {
            enterDeviceMode();
            break;
        }
        const qsizetype cr = m_line.indexOf('\r');
        if (cr < 0) {
            if (m_line.size() > MaxCommandLength)
                enterDeviceMode();
            else
                return;
            break;
        }
        const QByteArray command = m_line.left(cr);
        qsizetype end = cr + 1;
        if (isStandardCommand(command)) {
            if (end >= m_line.size())
                return; // the LF is still on its way
            if (m_line[end] == '\n')
                ++end;
        }
        const QByteArray raw = m_line.left(end);
        m_line.remove(0, end);
        handleCommand(command, raw);
    }
    // What followed the command that switched to device mode is device data.
    const QByteArray rest = m_line;
    m_line.clear();
    if (!rest.isEmpty())
        onDeviceBytes(rest);
}

void PanelSim::onDeviceBytes(const QByteArray& bytes) {
    // "+rb\r" restarts the panel even in the middle of device data; it may arrive
    // split over reads, so the last bytes of the previous read count too.
    const QByteArray window = m_rbTail + bytes;
    const qsizetype at = window.indexOf(RbCommand);
    QByteArray data = bytes;
    QByteArray afterRb;
    if (at >= 0) {
        const qsizetype endInBytes = at + RbCommand.size() - m_rbTail.size();
        data = bytes.left(endInBytes);
        afterRb = bytes.mid(endInBytes);
    }
    m_rbTail = window.right(RbCommand.size() - 1);

    m_deviceData += data;
    emit deviceDataReceived(data);
    if (m_config.script.isEmpty()) {
        if (m_config.echoDeviceData)
            queue(data, 0);
    } else {
        m_scriptInput += data;
        for (;;) {
            qsizetype best = -1;
            const ScriptEntry* match = nullptr;
            for (const ScriptEntry& entry : m_config.script) {
                if (entry.request.isEmpty())
                    continue;
                const qsizetype pos = m_scriptInput.indexOf(entry.request);
                if (pos >= 0 && (best < 0 || pos < best)) {
                    best = pos;
                    match = &entry;
                }
            }
            if (!match)
                break;
            m_scriptInput.remove(0, best + match->request.size());
            reply(match->response);
        }
        if (m_scriptInput.size() > MaxScriptInput)
            m_scriptInput.remove(0, m_scriptInput.size() - MaxScriptInput);
    }

    if (at >= 0) {
        m_commands.append(RbCommand.chopped(1));
        m_rbReceived = true;
        emit commandReceived(m_commands.last());
        restartDialogue();
        if (!afterRb.isEmpty())
            onDialogueBytes(afterRb);
    }
}

void PanelSim::handleCommand(const QByteArray& command, const QByteArray& raw) {
    m_commands.append(command);
    emit commandReceived(command);
    if (m_config.echoCommands)
        queue(raw, 0);

    if (command == RbCommand.chopped(1)) {
        m_rbReceived = true;
        restartDialogue();
        return;
    }

    if (m_config.dialect == Dialect::Standard) {
        static const QByteArray codePrefix = "+CHECK_MASTER_CODE=1,\"";
        if (command.startsWith(codePrefix) && command.endsWith('"') && command.size() > codePrefix.size()) {
            const QByteArray code = command.mid(codePrefix.size(), command.size() - codePrefix.size() - 1);
            if (code == m_config.masterCode) {
                m_codeAccepted = true;
                reply(StandardOk);
            } else if (!m_config.silentOnWrongCode) {
                reply(StandardError);
            }
        } else if (command.startsWith("+K5_STOP_PANEL=")) {
            m_panelStopped = true;
            reply(StandardOk);
        } else if (command == "+VER_INFO=?") {
            reply(m_config.versionAnswer + StandardOk);
            enterDeviceMode();
        } else {
            reply(StandardError);
        }
        return;
    }

    if (command.startsWith("+id=")) {
        if (command.mid(4) == m_config.masterCode) {
            m_codeAccepted = true;
            reply(OldOk);
        } else if (!m_config.silentOnWrongCode) {
            reply(OldError);
        }
    } else if (command == "+v") {
        reply(m_config.oldVersionAnswer);
        enterDeviceMode();
    } else {
        reply(OldError);
    }
}

// ---------------------------------------------------------------- the modem in front

void PanelSim::onModemBytes(const QByteArray& bytes) {
    const int guard = m_config.modem.guardMs;
    // The escape needs a quiet line before its first "+".
    bool quiet = !m_lastRx.isValid() || m_lastRx.elapsed() >= guard;
    QByteArray toPanel;
    for (const char c : bytes) {
        if (!m_online) {
            modemCommandByte(c);
            continue;
        }
        if (m_plus == 3) {
            if (m_plusClock.elapsed() >= guard) {
                // Quiet long enough after the third "+": this byte is a command already.
                completeEscape();
                modemCommandByte(c);
                continue;
            }
            toPanel += "+++";
            m_plus = 0;
            m_escapeTimer->stop();
        }
        if (c == '+' && (m_plus > 0 || quiet)) {
            if (++m_plus == 3) {
                m_plusClock.start();
                m_escapeTimer->start(std::max(1, guard));
            }
            continue;
        }
        if (m_plus > 0) {
            toPanel += QByteArray(m_plus, '+');
            m_plus = 0;
        }
        toPanel += c;
        quiet = false;
    }
    m_lastRx.start();
    if (!m_echo.isEmpty()) {
        queue(m_echo, 0);
        m_echo.clear();
    }
    if (!toPanel.isEmpty())
        onPanelBytes(toPanel);
}

void PanelSim::completeEscape() {
    m_escapeTimer->stop();
    m_plus = 0;
    m_online = false;
    ++m_escapes;
    emit escaped();
    modemReply("OK");
}

void PanelSim::modemCommandByte(char c) {
    if (m_config.modem.echo)
        m_echo += c;
    if (c == '\r') {
        const QByteArray command = m_atLine.trimmed();
        m_atLine.clear();
        if (!m_echo.isEmpty()) {
            queue(m_echo, 0);
            m_echo.clear();
        }
        if (!command.isEmpty())
            handleAT(command);
    } else if (c != '\n' && m_atLine.size() < MaxCommandLength) {
        m_atLine += c;
    }
}

void PanelSim::modemReply(const QByteArray& text) {
    queue("\r\n" + text + "\r\n", 0);
}

void PanelSim::handleAT(const QByteArray& command) {
    m_modemCommands.append(command);
    emit commandReceived(command);
    const QByteArray up = command.toUpper();
    if (!up.startsWith("AT"))
        return; // not a command: a modem says nothing
    const Config::Modem& m = m_config.modem;
    if (up.startsWith("ATD")) {
        m_dialTimer->start(std::max(0, m.dialDelayMs));
    } else if (up == "ATH" || up == "ATH0") {
        m_dialTimer->stop();
        m_hangupTimer->stop();
        m_callUp = false;
        m_online = false;
        modemReply("OK");
    } else if (up == "ATO" && m_callUp) {
        m_online = true;
        m_lastRx.invalidate();
        modemReply("CONNECT 9600");
    } else if (up == "ATZ" && !m.answerReset) {
        // resets quietly
    } else if (up.startsWith("AT+CBST")) {
        modemReply(m.cbstError ? "ERROR" : "OK");
    } else if (up == "AT+CREG?") {
        int stat = 2; // searching
        if (m_creg++ >= m.searchingQueries) {
            switch (m.registration) {
            case Config::Modem::Registration::Home:
                stat = 1;
                break;
            case Config::Modem::Registration::Roaming:
                stat = 5;
                break;
            case Config::Modem::Registration::None:
                stat = 0;
                break;
            case Config::Modem::Registration::Searching:
                stat = 2;
                break;
            }
        }
        queue("\r\n+CREG: 0," + QByteArray::number(stat) + "\r\n\r\nOK\r\n", 0);
    } else {
        modemReply("OK");
    }
}

void PanelSim::dialResult() {
    using Dial = Config::Modem::DialResult;
    const Config::Modem& m = m_config.modem;
    QByteArray word;
    switch (m.dial) {
    case Dial::Connect:
        word = "CONNECT 9600";
        break;
    case Dial::Busy:
        word = "BUSY";
        break;
    case Dial::NoCarrier:
        word = "NO CARRIER";
        break;
    case Dial::NoDialtone:
        word = "NO DIALTONE";
        break;
    case Dial::NoAnswer:
        word = "NO ANSWER";
        break;
    case Dial::Silence:
        return;
    }
    modemReply(m.dialAnswer.isEmpty() ? word : m.dialAnswer);
    if (m.dial != Dial::Connect)
        return;
    // A new call: the panel behind it starts a new dialogue.
    m_callUp = true;
    m_online = true;
    m_plus = 0;
    m_lastRx.invalidate();
    ++m_calls;
    restartDialogue();
    if (m.hangupAfterMs > 0)
        m_hangupTimer->start(m.hangupAfterMs);
}

void PanelSim::farEndHangup() {
    if (!m_callUp)
        return;
    m_hangupTimer->stop();
    m_escapeTimer->stop();
    m_callUp = false;
    m_online = false;
    m_plus = 0;
    m_queue.clear(); // the panel's answers still on their way are lost with the call
    modemReply("NO CARRIER");
    restartDialogue();
}

void PanelSim::enterDeviceMode() {
    m_deviceMode = true;
    m_rbTail.clear();
    m_scriptInput.clear();
    if (m_config.fastEcho && m_pty)
        QTimer::singleShot(0, this, &PanelSim::runFastEcho);
    else if (m_config.fastEcho && m_client && m_config.script.isEmpty() && m_config.echoDeviceData)
        QTimer::singleShot(0, this, &PanelSim::runFastTcpEcho);
}

void PanelSim::restartDialogue() {
    m_deviceMode = false;
    m_line.clear();
    m_rbTail.clear();
    m_scriptInput.clear();
}

QByteArray PanelSim::unescape(const QByteArray& text, bool* ok) {
    if (ok)
        *ok = true;
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            out += c;
            continue;
        }
        const char e = text[++i];
        switch (e) {
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '0':
            out += '\0';
            break;
        case 'x': {
            const int hi = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                if (ok)
                    *ok = false;
                out += "\\x";
                break;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default: // \\, \" and anything unknown: the character itself
            out += e;
            break;
        }
    }
    return out;
}

QList<PanelSim::ScriptEntry> PanelSim::parseScript(const QByteArray& text, QString* error) {
    QList<ScriptEntry> entries;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QByteArray line = lines[n].trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        // The separator outside quoted strings.
        qsizetype sep = -1;
        bool quoted = false;
        for (qsizetype i = 0; i + 1 < line.size(); ++i) {
            if (line[i] == '\\' && quoted) {
                ++i;
                continue;
            }
            if (line[i] == '"')
                quoted = !quoted;
            else if (!quoted && line[i] == '=' && line[i + 1] == '>') {
                sep = i;
                break;
            }
        }
        ScriptEntry entry;
        if (sep < 0 || !parseScriptSide(line.left(sep), entry.request) ||
            !parseScriptSide(line.mid(sep + 2), entry.response) || entry.request.isEmpty()) {
            if (error)
                *error = QStringLiteral("line %1: expected <request> => <response>").arg(n + 1);
            return {};
        }
        entries.append(entry);
    }
    if (error)
        error->clear();
    return entries;
}
