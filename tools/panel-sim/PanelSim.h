// Panel simulator: one alarm panel behind a pseudo-terminal or a TCP port.
//
// It speaks the wizard's handshake (standard and old-style dialogue) and, once the
// version was asked, behaves as the device the setup program talks to: it echoes every
// byte, or answers from a script of request/response pairs. Everything runs on the
// owner's thread through socket notifiers and timers, so a test can keep it in-process
// while the code under test spins nested event loops.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTemporaryDir;
class QTimer;

// A pseudo-terminal presented as a serial port under a fixed name.
//
// The slave side is opened once in raw mode and kept open: without it the master reads
// EIO whenever the program has the port closed, and without raw mode bytes would echo
// back. The port's name is a symlink to /dev/pts/N; programs open the symlink.
// Pulling the adapter closes slave and master: the /dev/pts node disappears and the
// symlink dangles. Plugging it back creates a new pseudo-terminal and swaps the symlink
// atomically, so the port returns under the same name.
class PseudoTerminal {
  public:
    // linkPath empty: the link is "ttySIM0" in a new temporary directory.
    explicit PseudoTerminal(const QString& linkPath = {});
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates a pseudo-terminal and points the link at it. True when plugged already.
    bool plug();
    // Closes slave and master; the link stays and dangles.
    void unplug();
    bool isPlugged() const { return m_master >= 0; }

    int masterFd() const { return m_master; }
    int slaveFd() const { return m_slave; }
    QString linkPath() const { return m_linkPath; }
    QString devicePath() const { return m_devicePath; }
    QString errorString() const { return m_error; }

  private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_linkPath;
    QString m_devicePath;
    QString m_error;
    int m_master = -1;
    int m_slave = -1;
    bool m_linkMade = false;
};

class PanelSim : public QObject {
    Q_OBJECT
  public:
    enum class Dialect {
        Standard, // "+CHECK_MASTER_CODE=1,\"c\"\r\n", "+K5_STOP_PANEL=1,1\r\n", "+VER_INFO=?\r\n"
        OldStyle, // "+id=c\r", "+v\r"
    };
    struct ScriptEntry {
        QByteArray request;
        QByteArray response;
    };
    struct Config {
        Dialect dialect = Dialect::Standard;
        QByteArray masterCode = "1234";
        // Reply to a wrong master code: "ERROR\r\n" (old-style "ERROR\r") or nothing.
        bool silentOnWrongCode = false;
        // Standard version answer; "OK\r\n" follows it.
        QByteArray versionAnswer = "+VER_INFO=1,\"SIMPANEL.01.00\",\"2024\"\r\n";
        // Old-style version answer, sent as it stands (it carries its own "OK\r").
        QByteArray oldVersionAnswer = "\r\nSIMPANEL.01.00\r\nOK\r";
        // Echo each dialogue command back before answering, as some panels do.
        bool echoCommands = false;
        // Each answer goes out in this many writes, splitPauseMs apart.
        int splitParts = 1;
        int splitPauseMs = 50;
        // Answers come this late (the first write of an answer).
        int delayMs = 0;
        // Writes nothing at all: a dead panel or a wrong cable.
        bool silent = false;
        // Device mode: with a script, the response of every request found in the
        // received bytes; without one, every byte echoed (or nothing when false).
        QList<ScriptEntry> script;
        bool echoDeviceData = true;
        // A slow line: in device mode at most drainBytes are taken from the line every
        // drainPeriodMs (100 every 10 ms is about 10 kB/s); 0: all there is, at once.
        int drainBytes = 0;
        int drainPeriodMs = 10;
        // In device mode echo from a tight poll loop, up to 64 KiB a read, so that the
        // panel is never what limits a relay. The loop returns to the event loop once
        // stopDescriptor (a signal pipe) becomes readable, and over TCP also when the
        // client closes or a new client knocks. "+rb\r" is echoed like any other bytes
        // meanwhile, and nothing is recorded.
        bool fastEcho = false;
        int stopDescriptor = -1;
        // TCP: from the moment a client connects, send bytes without end (a panel stuck
        // in a data dump), as fast as the client takes them.
        bool streamOnConnect = false;

        // GSM modem mode: the panel sits behind a modem's data call. The modem answers AT
        // commands (echoing them) until a dial connects; from then on the bytes go to and
        // from the panel until "+++" with guardMs of silence before and after it returns
        // the modem to its commands ("ATH" hangs up), or the far end hangs up.
        struct Modem {
            bool enabled = false;
            enum class Registration { Home, Roaming, None, Searching };
            Registration registration = Registration::Home;
            // "AT+CREG?" answers "searching" this many times before the registration above.
            int searchingQueries = 0;
            bool cbstError = false; // "AT+CBST=..." answered ERROR
            enum class DialResult { Connect, Busy, NoCarrier, NoDialtone, NoAnswer, Silence };
            DialResult dial = DialResult::Connect;
            QByteArray dialAnswer; // sent instead of the result's word ("no carrier" in lower case)
            int dialDelayMs = 0;   // the network's time to answer the dial
            bool echo = true;      // commands echoed back as they arrive
            // "ATZ" answered OK. A modem that says nothing to its reset leaves no stale
            // "OK" behind for a later wait to mistake for its own answer.
            bool answerReset = true;
            int guardMs = 300;
            int hangupAfterMs = 0; // the far end hangs up this long after CONNECT (0: never)
        };
        Modem modem;
    };

    explicit PanelSim(QObject* parent = nullptr);
    explicit PanelSim(const Config& config, QObject* parent = nullptr);
    ~PanelSim() override;

    void setConfig(const Config& config) { m_config = config; }
    const Config& config() const { return m_config; }

    // Serves on a pseudo-terminal named by linkPath (empty: a temporary one).
    bool startPty(const QString& linkPath = {});
    // Serves on 127.0.0.1:port (0: any free port); one client at a time, a new client
    // replaces the old one and starts a new dialogue.
    bool startTcp(quint16 port = 0);
    void stop();

    // The name the program opens: the symlink path, or "127.0.0.1:<port>".
    QString portName() const;
    // /dev/pts/N now (empty over TCP or while unplugged).
    QString devicePath() const;
    quint16 tcpPort() const;
    QString errorString() const { return m_error; }

    // TCP: the connected client is dropped, with an orderly close (FIN) or a reset (RST).
    // The listener stays.
    void dropClient(bool reset);
    // TCP: the port stops listening (a connect is refused) and the client is dropped;
    // listenAgain() listens on the same port again.
    void stopListening(bool reset = false);
    bool listenAgain();
    bool isListening() const;
    bool hasClient() const { return m_client != nullptr; }
    // TCP clients accepted so far.
    int connectionCount() const { return m_connections; }
    // TCP stream mode: bytes sent so far.
    qint64 streamed() const { return m_streamed; }

    // Pseudo-terminal only: the port vanishes and comes back under the same name.
    // The panel keeps its state: after the replug it goes on as a device.
    void unplug();
    bool replug();
    bool isPlugged() const;

    // Device data the panel sends on its own (an alarm event, a modem's NO CARRIER).
    void send(const QByteArray& bytes);
    // TCP only: the panel stops taking bytes from its connection (busy writing its flash),
    // so TCP flow control holds the sender back; false reads on.
    void holdReading(bool hold);

    // Modem mode: the far end hangs up ("NO CARRIER"); nothing when no call is up.
    void farEndHangup();
    bool callUp() const { return m_callUp; }
    // Modem mode: bytes pass to the panel (a call is up and not escaped to commands).
    bool modemOnline() const { return m_online; }
    // Modem mode: the AT commands seen, without CR ("ATZ", "ATD+79001234567", "ATH").
    QList<QByteArray> modemCommands() const { return m_modemCommands; }
    // Modem mode: calls connected so far; "+++" escapes recognised so far.
    int callsConnected() const { return m_calls; }
    int escapes() const { return m_escapes; }

    // Every byte received, in order.
    QByteArray received() const { return m_received; }
    // The bytes received in device mode.
    QByteArray deviceData() const { return m_deviceData; }
    // The dialogue commands seen, without their line ends ("+VER_INFO=?", "+v", "+rb").
    QList<QByteArray> commands() const { return m_commands; }
    bool masterCodeAccepted() const { return m_codeAccepted; }
    bool panelStopped() const { return m_panelStopped; }
    bool rbReceived() const { return m_rbReceived; }
    // True once the version was answered, until "+rb\r" restarts the panel.
    bool inDeviceMode() const { return m_deviceMode; }
    void clearRecords();

    // "\r", "\n", "\t", "\0", "\\", "\"", "\xHH" decoded; anything else kept.
    // False in *ok for a broken \x escape.
    static QByteArray unescape(const QByteArray& text, bool* ok = nullptr);
    // Script text: one pair per line, "<request> => <response>", each side a sequence
    // of double-quoted strings with escapes and bare hex bytes ("01 0A" or "010A").
    // Empty lines and lines starting with # are skipped. Empty result and a message in
    // *error on a malformed line.
    static QList<ScriptEntry> parseScript(const QByteArray& text, QString* error = nullptr);

  signals:
    void dataReceived(const QByteArray& bytes);
    void commandReceived(const QByteArray& command);
    void deviceDataReceived(const QByteArray& bytes);
    void clientConnected();
    // Modem mode: "+++" was recognised; the modem takes commands again.
    void escaped();

  private:
    struct Chunk {
        QByteArray bytes;
        int delayMs;
    };

    void onBytes(const QByteArray& bytes);
    void onPanelBytes(const QByteArray& bytes);
    void onModemBytes(const QByteArray& bytes);
    void modemCommandByte(char c);
    void handleAT(const QByteArray& command);
    void modemReply(const QByteArray& text);
    void dialResult();
    void completeEscape();
    void onDialogueBytes(const QByteArray& bytes);
    void onDeviceBytes(const QByteArray& bytes);
    void handleCommand(const QByteArray& command, const QByteArray& raw);
    void enterDeviceMode();
    void restartDialogue();
    void reply(const QByteArray& answer);
    void queue(const QByteArray& bytes, int delayMs);
    void pump();
    void writeOut(const QByteArray& bytes);
    void flushPty();
    void readPty();
    void drainTick();
    void runFastEcho();
    void runFastTcpEcho();
    void attachPty();
    void detachPty();
    void onNewConnection();

    Config m_config;
    QString m_error;

    std::unique_ptr<PseudoTerminal> m_pty;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QByteArray m_ptyOut;

    QTcpServer* m_server = nullptr;
    QTcpSocket* m_client = nullptr;
    quint16 m_tcpPort = 0; // kept while not listening, for listenAgain()
    int m_connections = 0;
    qint64 m_streamed = 0;
    bool m_holdReading = false;
    void streamMore();

    QList<Chunk> m_queue;
    QTimer* m_timer = nullptr;
    QTimer* m_drainTimer = nullptr;

    bool m_deviceMode = false;
    QByteArray m_line;        // dialogue bytes not yet a whole command
    QByteArray m_scriptInput; // device bytes not yet matched by the script
    QByteArray m_rbTail;      // last bytes of device data, to see "+rb\r" across reads

    bool m_online = false;
    bool m_callUp = false;
    int m_plus = 0; // "+" of a possible escape held back
    int m_creg = 0; // registration queries answered
    int m_calls = 0;
    int m_escapes = 0;
    QByteArray m_atLine;
    QByteArray m_echo;
    QList<QByteArray> m_modemCommands;
    QElapsedTimer m_lastRx;
    QElapsedTimer m_plusClock;
    QTimer* m_escapeTimer = nullptr;
    QTimer* m_dialTimer = nullptr;
    QTimer* m_hangupTimer = nullptr;

    QByteArray m_received;
    QByteArray m_deviceData;
    QList<QByteArray> m_commands;
    bool m_codeAccepted = false;
    bool m_panelStopped = false;
    bool m_rbReceived = false;
};
