// The panel on a pseudo-terminal, its command dialogue and its device data (echo, script).
// The TCP side is PanelSimTcp.cpp, the modem in front PanelSimModem.cpp, the
// pseudo-terminal itself PseudoTerminal.cpp.
#include "PanelSimShared.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

using namespace PanelSimDetail;

namespace {

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

} // namespace

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
