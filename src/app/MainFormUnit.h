// The main window "Мастер подключения" and the state of the one connection the program holds.
//
// TMainKestromForm owns the whole connection state and every component. Its methods are
// spread over several files by concern; below, each group of declarations names its file.
//   src/app/MainFormUnit.cpp       start-up, layout, channel arrangement, input checks, shortcuts
//   src/app/CrashReporting.cpp     the connection's state for a crash report
//   src/app/ConnectCommand.cpp     the connect link: connect, cancel, disconnect, redial
//   src/app/ModemConnection.cpp    the GSM modem: dial, progress, dialer's end, hang-up
//   src/app/MainLoop.cpp           the relay loop of serial connections, the port primitives,
//                                  the wait in the event loop
//   src/app/DeviceHandshake.cpp    the device dialogue, modem hang-up words, "+rb"
//   src/app/SetupLauncher.cpp      setup.ini flags, starting and stopping the setup program
//   src/app/LocalServer.cpp        the local TCP server the setup program connects to
//   src/app/SetupPeer.cpp          only this user's programs may use the local server
//   src/app/LANChannel.cpp         the panel's TCP socket: connect, drop, relay, errors, reconnect
//   src/app/PersistentSettings.cpp histories and choices kept between runs
//   src/app/LogMethods.cpp         AddLog, LogFmt, LogHexDump
// The lower folders hold what does not know the form: src/relay the relay's rules (bounded
// queues, back-pressure, order across the setup program's connections, loss accounting) and
// its ends; src/channels serial ports and the modem dialer; src/server the local server's
// socket and port rule; src/settings the settings store and history rules; src/log the log
// window and its formats; src/platform the platform seams and the devices' text codec;
// src/crash the crash handler and its report. The windows (src/app, the log window, the
// settings dialogs, the boxes) are built into kestrom_app; everything below it links Qt Core
// and Network only (kestrom_core).
//
// The fields the design names are public; the rest of the state is private and changes only
// through the operations beside it. Tests see that rest through Observe().
#pragma once

#include <QByteArray>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QList>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QToolButton>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "app/URLLabel.h"
#include "channels/COMUtils.h"
#include "relay/RelayCore.h"
#include "server/LoopbackServer.h"

class QProcess;
class QAbstractSocket;
class QTcpSocket;
class SerialEnd;
class SocketEnd;
class QComboBox;
class QMenu;
class TRingThread;

// Link states kept in URLLabel1->Tag.
enum LinkState { lsIdle = 0, lsConnecting = 1, lsConnected = 2, lsRedial = 3 };

// Channel numbers: the item indexes of ConnectTypeComboBox.
enum Channel { chModemV32 = 0, chModemV110 = 1, chCable = 2, chIP = 3 };

class TMainKestromForm : public QWidget {
    Q_OBJECT
  public:
    explicit TMainKestromForm(QWidget* parent = nullptr);
    ~TMainKestromForm() override;

    // ---- components ------------------------------------------------------------------
    QLabel* Label3;
    QComboBox* ConnectTypeComboBox;
    QLabel* Label4;
    QComboBox* PortsListComboBox;
    QToolButton* SpeedButton1;
    QComboBox* IPCombo;
    QLabel* Label5;
    QComboBox* PhoneNumber;
    QComboBox* PortCombo;
    QLabel* Label1;
    QLineEdit* MasterKeyEdit;
    QCheckBox* MKChB;
    TURLLabel* URLLabel1;
    QLabel* Label6;
    QLabel* Label7; // the status label
    LoopbackServer* ServerSocket;
    QTcpSocket* ClientSocket;
    QTimer* Timer1;

    // ---- start-up and window (MainFormUnit.cpp) ---------------------------------------
    void FormCreate();
    void FormClose();
    // Ctrl+Alt+C / L / T open the auxiliary windows; other modifiers are not examined.
    void FormKeyDown(int key, Qt::KeyboardModifiers shift);
    // Shows the auxiliary window of a shortcut's key (C, L, T); any other key does nothing.
    void ShowAuxiliaryWindow(int key);
    void ConnectTypeComboBoxChange();
    void IPComboChange();
    void PortEditChange();
    void MKChBClick();
    void SpeedButton1Click();
    void FillPortsList();
    void StartFlash();
    void StopFlash();
    static QString GetFileVersionString();
    static bool IsValidIPAddress(const QString& text);
    // A text that converts completely to a decimal number: digits only, no blank, no sign.
    static std::optional<int> WholeNumber(const QString& text);

    enum class StatusColour { Neutral, Red, Unchanged };
    void SetStatus(const QString& caption, StatusColour colour);
    void SetLink(int state, const QString& caption);
    void EnableChannelControls(); // the controls a connect disabled, back to usable
    void DisableModemControls();  // channel, port list, phone, refresh button

    // An error box of the LAN channel is on screen (LANErrorBox), and whether a reconnect
    // tick fell due meanwhile: it waits for the box to close.
    enum class LANBox { None, Open, OpenReconnectDue };
    // What the tests observe of the private state, taken at one moment.
    struct Observed {
        // The setup program's bytes staged for the port (FReadSocket of them).
        QByteArray stagedSetupPacket;
        bool relayHoldsDevice = false; // the device's bytes are left unread (back-pressure)
        bool relayHoldsSetup = false;  // the setup program's bytes are left unread
        bool portAwaitsRoom = false;   // kept bytes wait for the port's write watch
        LANBox lanBox = LANBox::None;
    };
    Observed Observe() const;

    // ---- crash report (CrashReporting.cpp) ----------------------------------------------
    // The connection's state for a crash report.
    void NoteCrashState();
    void WatchForCrashReport();

    // ---- connect command (ConnectCommand.cpp) -------------------------------------------
    void URLLabel1Click();

    // ---- GSM modem channel (ModemConnection.cpp) ------------------------------------------
    // The progress post of the dialer (WM_USER + 5): 1, 2, 3 set the status texts.
    void WMModemStatus(int WParam);
    // The dialer's termination handler, on the GUI thread while the worker waits: takes
    // the port over; for a connected call runs the whole relay before it returns.
    void RingThreadDone(QObject* Sender);
    // Starts a dial of PhoneNumber on the selected port in a new FRing.
    void StartDial(int Proto);
    // The cancel click while the modem dials (or while a connected call's handshake runs).
    void CancelModemDial();
    // Hangs the call up on FCOMHandle: 1000 ms, "+" three times, 500 ms, "ATH\r\n",
    // 150 ms. The pauses block on purpose: the modem needs them.
    void ModemHangUp();
    // Frees FRing: at once when its handler has returned, else once the thread finishes.
    void FreeRing();

    // ---- relay and serial port (MainLoop.cpp) -------------------------------------------
    void MainLoop();
    int OpenCOM();
    bool ReopenCOM();
    void CloseCOM();
    int COMRead();
    int COMWrite(int Count);
    QByteArray BufferToString(int Count) const;
    int StringToBuffer(const QByteArray& S);
    // Takes the next piece (at most 32768 bytes) of the setup program's bytes into
    // FSetupBuffer while the port has room for it; returns FReadSocket.
    int StageSetupPacket();
    // Most bytes of the setup program taken for the port and not yet written to it. Above
    // it the sockets are not read, so TCP flow control slows the setup program to the
    // line's pace.
    static constexpr qsizetype SetupQueueLimit = 256 * 1024;
    // Bytes taken for the port and not written yet (the port's queue in the relay).
    qint64 SetupBytesWaiting() const;
    // Most bytes queued toward a setup program that does not read; beyond it device bytes
    // are dropped and the loss is logged.
    static constexpr qint64 SetupSendLimit = 16 * 1024 * 1024;
    void Delay(quint32 Milliseconds);
    // Blocks in the event loop until done() holds (true) or `limit` ticks have passed since
    // `start` (false); done() is asked first and after each event. Never spins.
    bool WaitUntil(quint32 start, quint32 limit, const std::function<bool()>& done = {});
    // Dispatches what is waiting and returns; never blocks.
    static void ProcessMessages();

    // ---- device handshake (DeviceHandshake.cpp) -----------------------------------------
    bool DetectDevice();
    bool LANHandshake();
    bool CheckModemHangup(int Count);
    void SendRBCommand();

    // ---- setup program (SetupLauncher.cpp) -----------------------------------------------
    void ReadSetupFlags();
    void ReadProto();
    // How StartSetup ended. Only after FailureShown has the user been told why no setup
    // program runs; after NotStarted the caller reports that none was found.
    enum class SetupStart { Running, NotStarted, FailureShown };
    SetupStart StartSetup();
    void StopSetup();
    QString SetupIniPath() const;

    // ---- local server (LocalServer.cpp) --------------------------------------------------
    // False when listening failed; the reason is logged and shown. The first start of a
    // connection takes the port of the server dialog; later starts of the same connection
    // listen on the port it has kept.
    bool StartServer();
    // ServerStop::KeepPort stops listening within a connection that goes on (the device lost
    // for a while): the port stays this user's until the server starts again.
    enum class ServerStop { EndOfConnection, KeepPort };
    void StopServer(ServerStop How = ServerStop::EndOfConnection);
    void SendToSetup(int Count);
    void ServerSocketClientConnect(QAbstractSocket* socket);
    void ServerSocketClientDisconnect(QAbstractSocket* socket);
    void ServerSocketClientRead(QAbstractSocket* socket);
    void ServerSocketClientError(QAbstractSocket* socket);
    int ServerConnectionCount() const;
    // The setup program's connections in accept order (index 0 = the first still open).
    QList<QAbstractSocket*> ServerConnections() const;
    quint16 ServerPort() const;
    // Chosen when a connection starts (MainLoop, the LAN connect click): the relay's limits,
    // and which channel's handlers its reports reach.
    enum class RelayChannel { Serial, LAN };
    void UseRelayChannel(RelayChannel Channel);
    // The log line of a relayed piece's fate, the same on every channel.
    void LogFate(RelayCore::Direction Direction, const RelayCore::Fate& Fate);

    // ---- setup program's peer check (SetupPeer.cpp) -----------------------------------------
    // An accepted connection of another account's program (or of one whose owner cannot be
    // found) is closed at once, before a byte of it is read, and logged; false then.
    // Where the owner cannot be looked up at all, connections are accepted.
    bool AcceptSetupPeer(QAbstractSocket* Socket);

    // ---- LAN channel (LANChannel.cpp) -------------------------------------------------------
    // The events of ClientSocket, raised on the GUI thread.
    void ClientSocketConnect();
    void ClientSocketDisconnect();
    void ClientSocketRead();
    // ErrorCode is the Winsock number of the failure; the handler sets it to 0.
    void ClientSocketError(int& ErrorCode);
    // ClientSocket's Active: true starts an asynchronous connect to the host and port set by
    // the connect command; false on a connected socket closes it and runs
    // ClientSocketDisconnect before it returns, on any other socket it raises nothing.
    void SetClientActive(bool Active);
    bool ClientActive() const { return FClientActive; }
    // The local server's read handler on the LAN channel: the setup program's next piece to
    // the panel; false when there was none to take.
    bool RelaySetupToPanelOnce();
    // Relays what the setup program's connections hold, oldest first (the panel's queue has
    // drained, or an older connection has ended).
    void RelayHeldSetupBytes();
    // An error box of this channel, between StartFlash and StopFlash. Never two at once.
    void LANErrorBox(const QString& Text);
    // The LAN reconnect tick; while a box of this channel is open it waits for the box.
    void Timer1Timer();
    // The LAN relay does not read from one side while the other side's queue holds more
    // than this: TCP flow control then slows the sender down.
    static constexpr qint64 LANQueueLimit = 1 << 20;
    // Most bytes the LAN relay moves at a time either way. Twice the serial piece: TCP
    // delivers far more per event, and smaller pieces cost the relay a third more CPU.
    static constexpr int LANPiece = 64 * 1024;
    // The transfer buffers hold a piece of either channel.
    static constexpr int RelayBufferSize = COM_BUFFER_SIZE > LANPiece ? COM_BUFFER_SIZE : LANPiece;

    // ---- persistent settings (PersistentSettings.cpp) -----------------------------------
    void LoadPhoneList();
    void SavePhoneNumber(const QString& Phone);
    void LoadIPList();
    void SaveIPList();
    void LoadCOMSettings();
    void SaveCOMSettings();
    static void SelectComboItem(QComboBox* Box, const QString& Text);

    // ---- traffic log (LogMethods.cpp) --------------------------------------------
    void AddLog(const QString& Text, const QString& Tag);
    void LogFmt(const QString& Format, const QList<QVariant>& Args);
    void LogHexDump(const QByteArray& Data, int Count);
    // Device or setup-program bytes as text (one character per byte, Windows-1251). The
    // text is only built while the log window can record it: relaying megabytes must
    // not pay for a conversion nobody sees.
    void LogBytes(const char* Data, int Count, const QString& Tag);
    // The log window records lines only while it is shown; text nobody records is not built.
    static bool LogRecording();

    // ---- connection state: the design's fields ----------------------------------------------
    // Public so that the tests can observe them; only the operations named beside each
    // field change it.

    // Protocol variant handed to the modem dialer: setup.ini PROTO at start-up; 0/1 by channel.
    int FProto = 0;
    // The device speaks the older command set (setup.ini OLDCONNECT=1). ReadSetupFlags.
    bool FOldConnect = false;
    // Send the stop-panel command before identification (SP=1). ReadSetupFlags; DetectDevice
    // clears it on the modem channels.
    bool FSP = false;
    // Send "+rb\r" when a serial connection ends (RB=1). ReadSetupFlags.
    bool FRB = false;
    // LAN: received text is being collected as the version answer.
    bool FNeedAskLANVer = false;
    // LAN: the device closed the socket and it is being reconnected.
    bool FNeedLANReconnect = false;
    // History of "address:port" entries; exists from FormCreate to FormClose.
    std::unique_ptr<QStringList> FIPPort;
    // LAN reconnect attempts made since the last successful connect. Timer1Timer adds 1,
    // ClientSocketConnect sets 0.
    int FReconectCount = 0;
    // The serial port was lost and must be reopened. COMWrite, the port watch, ReopenCOM.
    bool FNeedCOMReconnect = false;
    // The open serial port; -1 when none.
    COMHandle FCOMHandle = INVALID_COM_HANDLE;
    // Device-side transfer buffer: serial reads land here (the panel's socket's on the IP
    // channel), commands are staged here.
    char FDataBuffer[RelayBufferSize] = {};
    // The device's answer to the version request. DetectDevice; StartSetup clears it.
    QByteArray FVerInfo;
    // The running setup program (owned from StartSetup to StopSetup).
    QPointer<QProcess> FSetupProcInfo;
    // A setup program is running.
    bool FSetupIsStarted = false;
    // Full path of the running temporary copy of the setup program.
    QString FSetupFile;
    // The setup program is connected to the local server: follows the relay's list of its
    // connections (WireRelay).
    bool FSetupConnected = false;
    // Bytes from the setup program staged in FSetupBuffer for the port. Relay pass.
    int FReadSocket = 0;
    // The relay loop runs; clearing it ends the loop.
    bool FConnected = false;
    // How long the serial handshake waits for an answer, ms.
    int FVerInfoWait = 5000;
    // The modem dialer of the current modem connection.
    TRingThread* FRing = nullptr;
    // The current connection runs through the GSM modem.
    bool FModemConnect = false;

  signals:
    // The main window was closed: the program ends, whatever other windows are open.
    void Closed();

  protected:
    void closeEvent(QCloseEvent* event) override;               // MainFormUnit.cpp
    void contextMenuEvent(QContextMenuEvent* event) override;   // MainFormUnit.cpp
    void customEvent(QEvent* event) override;                   // ModemConnection.cpp
    bool eventFilter(QObject* watched, QEvent* event) override; // MainFormUnit.cpp

  private:
    // ---- start-up and window (MainFormUnit.cpp) ---------------------------------------
    void MakeWindowsMenu();
    // Right click on the window's free area: the three auxiliary windows, each with its
    // shortcut.
    QMenu* WindowsMenu;
    // FormClose has run: waits give up, nothing new starts.
    bool FClosed = false;

    // ---- connect command (ConnectCommand.cpp) -------------------------------------------
    // What the connect command does differs by these three kinds of channel.
    enum class ChannelKind { Modem, Cable, IP };
    // The kind of the selected channel (FProto set for the modem items); none without one.
    std::optional<ChannelKind> SelectedKind();
    // A port for the serial kinds, a phone number for a first dial; false after the box.
    bool ConnectInputsGiven(ChannelKind kind);
    void Connect(ChannelKind kind);       // state 0
    void ConnectCable();                  // opens the port and runs the whole connection
    void ConnectLAN();                    // starts the panel's socket; its events go on
    void CancelConnect(ChannelKind kind); // state 1
    void Disconnect(ChannelKind kind);    // state 2
    void Redial();                        // state 3

    // ---- relay and serial port (MainLoop.cpp) -------------------------------------------
    void WatchCOM();   // makes FCOMEnd for FCOMHandle
    void UnwatchCOM(); // drops it; what it kept for the port is lost (and said so)
    void RelayPass();
    // Hands the staged packet to the port: written at once as far as the port takes it, the
    // rest kept in order behind the port's write watch. Never waits.
    void COMWritePending();
    // A write found the port gone: the device is marked lost and the setup program's
    // connection dropped, so it reconnects once the port is back.
    void COMWriteFailed();
    // A connection attempt that did not get as far as relaying: back to idle.
    void AbandonAttempt(const QString& logLine);
    // MainLoop's phases: false when the attempt has been abandoned.
    bool DeviceAnswered();
    bool SetupProgramStarted();
    void EndRelaySession();
    // A relay pass's steps.
    void WaitForRelayWork();
    void RelaySetupToPort();
    void RelayPortToSetup();
    void EndForLostModemPort();
    void TryReopenPort();
    void WatchPortPresence();

    // The relay's rules between the setup program's connections and the device: bounded
    // queues, back-pressure, order across connections, loss accounting. Owned.
    RelayCore* FRelay = nullptr;
    // The setup program's packet on its way to the port (FReadSocket bytes). Kept apart
    // from FDataBuffer so a packet arriving inside a nested event never overwrites bytes
    // the relay still needs.
    char FSetupBuffer[RelayBufferSize] = {};
    // The open port as a relay end: its watch wakes the relay when the port has data
    // (disabled once the port hangs up) and, while some of the setup program's bytes wait
    // for room, when it has room again. WatchCOM to UnwatchCOM.
    SerialEnd* FCOMEnd = nullptr;
    // The port's watch said it has data since the relay last read it.
    bool FPortReadable = false;
    // The port watch of cable connections: its timer only marks the check as due.
    QTimer* FPortWatchTimer = nullptr;
    bool FPortWatchDue = false;
    // Wakes WaitUntil at its deadline (one timer, restarted by each wait).
    QTimer* FWaitTimer = nullptr;
    // Objects were handed to deleteLater at the relay's own level (see RelayPass).
    bool FDeletesPending = false;

    // ---- device handshake (DeviceHandshake.cpp) -----------------------------------------
    bool SerialAnswerWait(const QByteArray& echo, const QByteArray& terminator, quint32 pause,
                          bool versionWait, QByteArray& collected);

    // ---- setup program (SetupLauncher.cpp) -----------------------------------------------
    // A box of StartSetup's own, caption "Ошибка"; the caller then shows none.
    void ShowSetupFailure(const QString& text);
    // The temporary directory and setup.ini are there; else a box says which is missing.
    bool SetupPlacesFound();
    // The setup program setup.ini names for FVerInfo's device key; FVerInfo is used up.
    QString SetupProgramName();
    // source copied into this run's private directory and checked; empty after the box.
    QString PrivateSetupCopy(const QString& source, const QString& name);
    // Starts the copy; FailureShown (the copy removed) when it would not start.
    SetupStart LaunchSetupCopy(const QString& copy);

    // ---- local server (LocalServer.cpp) --------------------------------------------------
    // Closes every setup-program connection without their disconnect events; the
    // listener itself is left as it is.
    void DropSetupConnections();
    // Drops the setup program's bytes not yet written to the port, logging their loss.
    void DiscardSetupBytes();
    // Wires the relay core's reports to the handlers of the local server and the LAN relay.
    void WireRelay();
    RelayChannel FRelayChannel = RelayChannel::Serial;
    // The relay's reports wired to the LAN channel's handlers while it is the one in use.
    QList<QMetaObject::Connection> FChannelRelayWires;

    // ---- setup program's peer check (SetupPeer.cpp) -----------------------------------------
    // The log said once that the owner of connections cannot be looked up here.
    bool FPeerCheckUnavailableLogged = false;

    // ---- LAN channel (LANChannel.cpp) -------------------------------------------------------
    void WireClientSocket();
    // The panel's socket turned out closed (a read found it so): its disconnect event, or
    // for a reset its error 10054.
    void PanelClosed();
    // Raises ClientSocketError from the event loop, unless the attempt is over by then.
    void PostClientSocketError(quint32 attempt, int code);
    // The local server could not start on the IP channel: the connection ends.
    void EndForServerFailure();
    // The channel back to idle: after a failure with no setup program running, and on the
    // user's cancel (which is also how an IP connection ends).
    void ResetLANChannel();
    // IPCombo, PortCombo and ConnectTypeComboBox: disabled while a connection is attempted or up.
    void SetIPControlsEnabled(bool Enabled);

    // ClientSocket reads as Active: from its connect event until its disconnect event.
    bool FClientActive = false;
    LANBox FLANBox = LANBox::None;
    // Where the panel's socket connects (the connect command takes them from IPCombo and
    // PortCombo).
    QString FPanelHost;
    quint16 FPanelPort = 0;
    // Counts ClientSocket's activations and deactivations; a queued socket event of an
    // earlier attempt is dropped.
    quint32 FClientAttempt = 0;
    // The panel's socket as a relay end (unbuffered), from its connect event on.
    SocketEnd* FPanelEnd = nullptr;
};

extern TMainKestromForm* MainKestromForm;

// Creates the four windows in their order (main window first, its FormCreate runs) and
// sets the global objects; DestroyForms undoes it.
void CreateForms();
void DestroyForms();
