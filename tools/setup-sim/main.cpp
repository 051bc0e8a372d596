// setup-sim: a sample setup program.
//
// The wizard starts it with no arguments, in the wizard's own directory, once a panel
// has been identified; it connects to the wizard's local server on 127.0.0.1:53462 and
// talks to the panel through the relay. Being started without arguments, it takes its
// settings from the environment (the wizard hands its own environment to the child):
//
//   KESTROM_SETUP_HOST    server address instead of 127.0.0.1
//   KESTROM_SETUP_PORT    server port instead of 53462
//   KESTROM_SETUP_MODE    terminal (default), echo, script or sink
//   KESTROM_SETUP_SCRIPT  script file for the script mode
//   KESTROM_SETUP_RECORD  file that gets one line per event: the start line
//                         "cwd=...<TAB>args=...<TAB>pid=...", then "connected",
//                         "disconnected", "waiting", "received <n>",
//                         "script pass" or "script fail: ..."
//
// Modes:
//   terminal  bytes from the panel are printed on stdout as hex and text; each line
//             typed on stdin is sent with CR LF, so a person can type panel commands
//             such as +VER_INFO=? through the wizard.
//   echo      every byte received is sent back.
//   script    runs the script once after the first connection. Lines:
//               send <hex>     e.g. "send 2B 76 0D"
//               expect <hex>   waits up to 10 s until those bytes have arrived
//               wait <ms>
//             Blank lines and lines starting with # are ignored.
//   sink      reads and counts, sends nothing; the count goes to the record at each
//             disconnection.
//
// The wizard stops its server while a serial port is lost and listens again when the
// port is back, so the connection is retried every 500 ms for as long as it runs;
// only changes of state are reported on stderr.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QList>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cstdio>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <unistd.h>
#endif

namespace {

constexpr quint16 kDefaultPort = 53462;
constexpr int kRetryMs = 500;
// A connection attempt to a host that drops packets would otherwise hang for minutes.
constexpr int kConnectTimeoutMs = 3000;
constexpr int kExpectTimeoutMs = 10000;

QString envOr(const char* name, const QString& fallback) {
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? fallback : value;
}

void say(const QString& line) {
    std::fprintf(stderr, "setup-sim: %s\n", qPrintable(line));
    std::fflush(stderr);
}

QString hex(const QByteArray& bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

// Printable form of a panel byte; the panels' Russian texts are Windows-1251.
QChar shown(unsigned char b) {
    if (b >= 0x20 && b < 0x7F)
        return QChar(b);
    if (b >= 0xC0)
        return QChar(char16_t(0x0410 + (b - 0xC0)));
    if (b == 0xA8)
        return QChar(u'Ё');
    if (b == 0xB8)
        return QChar(u'ё');
    return QChar(u'.');
}

struct Step {
    enum Kind { Send, Expect, Wait } kind;
    QByteArray bytes;
    int ms = 0;
    int line = 0;
};

// Hex bytes, optionally separated by blanks. QByteArray::fromHex alone would skip
// any stray character silently and turn a typo into a different script.
bool parseHex(const QString& text, QByteArray* out) {
    QByteArray digits;
    for (QChar c : text) {
        if (c == u' ' || c == u'\t')
            continue;
        const bool digit = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!digit)
            return false;
        digits.append(c.toLatin1());
    }
    if (digits.isEmpty() || digits.size() % 2 != 0)
        return false;
    *out = QByteArray::fromHex(digits);
    return true;
}

bool loadScript(const QString& path, QList<Step>* steps, QString* error) {
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read script \"%1\"").arg(path);
        return false;
    }
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        const qsizetype space = line.indexOf(u' ');
        const QString word = line.left(space < 0 ? line.size() : space).toLower();
        const QString arg = space < 0 ? QString() : line.mid(space + 1).trimmed();
        Step step{Step::Send, {}, 0, number};
        bool ok = false;
        if (word == u"send" || word == u"expect") {
            step.kind = word == u"send" ? Step::Send : Step::Expect;
            ok = parseHex(arg, &step.bytes);
        } else if (word == u"wait") {
            step.kind = Step::Wait;
            step.ms = arg.toInt(&ok);
            ok = ok && step.ms >= 0;
        }
        if (!ok) {
            *error = QStringLiteral("script line %1 not understood: %2").arg(number).arg(line);
            return false;
        }
        steps->append(step);
    }
    return true;
}

} // namespace

class SetupSim : public QObject {
  public:
    enum class Mode { Terminal, Echo, Script, Sink };

    SetupSim(QString host, quint16 port, Mode mode, QString recordPath, QList<Step> script)
        : m_host(std::move(host)), m_port(port), m_mode(mode), m_recordPath(std::move(recordPath)),
          m_steps(std::move(script)) {
        m_retry.setSingleShot(true);
        m_connectGuard.setSingleShot(true);
        m_stepTimer.setSingleShot(true);
        // Always straight to the wizard on this machine, whatever proxy the desktop has.
        m_socket.setProxy(QNetworkProxy::NoProxy);
        connect(&m_retry, &QTimer::timeout, this, &SetupSim::connectNow);
        connect(&m_connectGuard, &QTimer::timeout, this, [this] {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                m_socket.abort();
        });
        connect(&m_stepTimer, &QTimer::timeout, this, &SetupSim::stepTimedOut);
        connect(&m_socket, &QTcpSocket::connected, this, &SetupSim::onConnected);
        connect(&m_socket, &QTcpSocket::stateChanged, this, &SetupSim::onStateChanged);
        connect(&m_socket, &QTcpSocket::readyRead, this, &SetupSim::onReadyRead);
    }

    void record(const QString& line) {
        if (m_recordPath.isEmpty())
            return;
        QFile file(m_recordPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write((line + u'\n').toUtf8());
        else if (!m_recordWarned)
            say(QStringLiteral("cannot write record file %1").arg(m_recordPath));
        m_recordWarned = m_recordWarned || !file.isOpen();
    }

    void start() {
        say(QStringLiteral("connecting to %1:%2").arg(m_host).arg(m_port));
        watchStdin();
        connectNow();
    }

  private:
    enum class Link { Starting, Waiting, Connected, Lost };
    enum class ScriptState { NotStarted, Running, Done };

    void connectNow() {
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            return;
        m_socket.connectToHost(m_host, m_port);
        m_connectGuard.start(kConnectTimeoutMs);
    }

    void onConnected() {
        m_connectGuard.stop();
        // Panel commands are a few bytes each; don't let them wait for an ACK.
        m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_link = Link::Connected;
        say(QStringLiteral("connected to %1:%2").arg(m_host).arg(m_port));
        record(QStringLiteral("connected"));
        if (m_mode == Mode::Script && m_script == ScriptState::NotStarted) {
            m_script = ScriptState::Running;
            say(QStringLiteral("running the script (%1 steps)").arg(m_steps.size()));
            runScript();
        }
    }

    void onStateChanged(QAbstractSocket::SocketState state) {
        if (state != QAbstractSocket::UnconnectedState)
            return;
        m_connectGuard.stop();
        if (m_link == Link::Connected) {
            m_link = Link::Lost;
            say(QStringLiteral("disconnected; reconnecting every %1 ms").arg(kRetryMs));
            record(QStringLiteral("disconnected"));
            if (m_mode == Mode::Sink)
                record(QStringLiteral("received %1").arg(m_received));
            if (m_script == ScriptState::Running)
                finishScript(false, QStringLiteral("connection lost at script line %1").arg(currentLine()));
        } else if (m_link != Link::Waiting) {
            m_link = Link::Waiting;
            say(QStringLiteral("waiting for the wizard at %1:%2 (%3)")
                    .arg(m_host)
                    .arg(m_port)
                    .arg(m_socket.errorString()));
            record(QStringLiteral("waiting"));
        }
        m_retry.start(kRetryMs);
    }

    void onReadyRead() {
        const QByteArray data = m_socket.readAll();
        m_received += data.size();
        switch (m_mode) {
        case Mode::Echo:
            m_socket.write(data);
            break;
        case Mode::Terminal:
            print(data);
            break;
        case Mode::Script:
            if (m_script == ScriptState::Running) {
                m_input += data;
                if (m_steps[m_step].kind == Step::Expect && matchExpected()) {
                    m_stepTimer.stop();
                    runScript();
                }
            }
            break;
        case Mode::Sink:
            break;
        }
    }

    // Bytes from the panel, 16 to a line: hex, then the text.
    void print(const QByteArray& data) {
        for (qsizetype at = 0; at < data.size(); at += 16) {
            const QByteArray chunk = data.mid(at, 16);
            QString text;
            for (char c : chunk)
                text += shown(static_cast<unsigned char>(c));
            const QString line = QStringLiteral("<< %1  %2\n").arg(hex(chunk), -47).arg(text);
            std::fputs(line.toUtf8().constData(), stdout);
        }
        std::fflush(stdout);
    }

    void watchStdin() {
        if (m_mode != Mode::Terminal)
            return;
#ifdef Q_OS_UNIX
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, &SetupSim::readStdin);
#else
        // A console handle cannot be watched by the event loop there; only printing works.
        say(QStringLiteral("typed lines are read on Unix only"));
#endif
    }

#ifdef Q_OS_UNIX
    void readStdin() {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            // End of input (or a broken stdin): stop watching, or the notifier fires forever.
            m_stdin->setEnabled(false);
            if (!m_typed.isEmpty())
                sendTyped(std::exchange(m_typed, {}));
            return;
        }
        m_typed.append(buffer, n);
        qsizetype nl;
        while ((nl = m_typed.indexOf('\n')) >= 0) {
            QByteArray line = m_typed.left(nl);
            m_typed.remove(0, nl + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            sendTyped(line);
        }
    }
#endif

    void sendTyped(const QByteArray& line) {
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            say(QStringLiteral("not connected, line not sent"));
            return;
        }
        m_socket.write(line + "\r\n");
    }

    int currentLine() const {
        return m_step < m_steps.size() ? m_steps[m_step].line : 0;
    }

    // Drops what has been received up to and including the expected bytes.
    bool matchExpected() {
        const QByteArray& wanted = m_steps[m_step].bytes;
        const qsizetype at = m_input.indexOf(wanted);
        if (at < 0)
            return false;
        m_input.remove(0, at + wanted.size());
        ++m_step;
        return true;
    }

    void runScript() {
        while (m_script == ScriptState::Running && m_step < m_steps.size()) {
            const Step& step = m_steps[m_step];
            switch (step.kind) {
            case Step::Send:
                m_socket.write(step.bytes);
                ++m_step;
                break;
            case Step::Wait:
                m_stepTimer.start(step.ms);
                return;
            case Step::Expect:
                if (!matchExpected()) {
                    m_stepTimer.start(kExpectTimeoutMs);
                    return;
                }
                break;
            }
        }
        if (m_script == ScriptState::Running)
            finishScript(true, {});
    }

    void stepTimedOut() {
        if (m_script != ScriptState::Running || m_step >= m_steps.size())
            return;
        const Step& step = m_steps[m_step];
        if (step.kind == Step::Wait) {
            ++m_step;
            runScript();
            return;
        }
        finishScript(false,
                     QStringLiteral("line %1: expected %2, received %3")
                         .arg(step.line)
                         .arg(hex(step.bytes), m_input.isEmpty() ? QStringLiteral("nothing") : hex(m_input)));
    }

    void finishScript(bool pass, const QString& why) {
        m_script = ScriptState::Done;
        m_stepTimer.stop();
        const QString result = pass ? QStringLiteral("script pass") : QStringLiteral("script fail: ") + why;
        say(result);
        record(result);
    }

    QString m_host;
    quint16 m_port;
    Mode m_mode;
    QString m_recordPath;
    bool m_recordWarned = false;
    QTcpSocket m_socket;
    QTimer m_retry;
    QTimer m_connectGuard;
    Link m_link = Link::Starting;
    qint64 m_received = 0;

    QList<Step> m_steps;
    qsizetype m_step = 0;
    ScriptState m_script = ScriptState::NotStarted;
    QByteArray m_input;
    QTimer m_stepTimer;

    QSocketNotifier* m_stdin = nullptr;
    QByteArray m_typed;
};

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);

    const QString host = envOr("KESTROM_SETUP_HOST", QStringLiteral("127.0.0.1"));
    bool portOk = false;
    const uint port = envOr("KESTROM_SETUP_PORT", QString::number(kDefaultPort)).toUInt(&portOk);
    if (!portOk || port == 0 || port > 65535) {
        say(QStringLiteral("KESTROM_SETUP_PORT must be a port number 1..65535"));
        return 2;
    }

    const QString modeName = envOr("KESTROM_SETUP_MODE", QStringLiteral("terminal")).toLower();
    SetupSim::Mode mode;
    if (modeName == u"terminal")
        mode = SetupSim::Mode::Terminal;
    else if (modeName == u"echo")
        mode = SetupSim::Mode::Echo;
    else if (modeName == u"script")
        mode = SetupSim::Mode::Script;
    else if (modeName == u"sink")
        mode = SetupSim::Mode::Sink;
    else {
        say(QStringLiteral("unknown KESTROM_SETUP_MODE \"%1\" (terminal, echo, script or sink)")
                .arg(modeName));
        return 2;
    }

    QList<Step> steps;
    QString scriptError;
    const bool scriptOk = mode != SetupSim::Mode::Script ||
                          loadScript(qEnvironmentVariable("KESTROM_SETUP_SCRIPT"), &steps, &scriptError);

    SetupSim sim(host, quint16(port), mode, qEnvironmentVariable("KESTROM_SETUP_RECORD"), std::move(steps));
    // The wizard passes no arguments and sets the working directory; the start line
    // lets tests check both.
    sim.record(QStringLiteral("cwd=%1\targs=%2\tpid=%3")
                   .arg(QDir::currentPath(), app.arguments().mid(1).join(u' '))
                   .arg(QCoreApplication::applicationPid()));
    if (!scriptOk) {
        say(scriptError);
        sim.record(QStringLiteral("script fail: ") + scriptError);
        return 2;
    }
    sim.start();
    return app.exec();
}
