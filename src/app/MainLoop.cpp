// The relay loop of a serial connection (cable, or GSM modem once the call is up) and
// the serial port primitives it and the device handshake use.
#include "app/MainFormUnit.h"
#include "channels/ModemHangUp.h"
#include "log/TimeFuncs.h"
#include "platform/Platform.h"
#include "relay/RelayCore.h"
#include "settings/COMSettingsUnit.h"

#include <QCoreApplication>
#include <cstring>
#include <utility>

namespace {
constexpr int DefaultCOMSpeed = 19200;
} // namespace

void TMainKestromForm::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainKestromForm::Delay(quint32 Milliseconds) {
    WaitUntil(GetTickCount(), Milliseconds);
}

bool TMainKestromForm::WaitUntil(quint32 start, quint32 limit, const std::function<bool()>& done) {
    for (;;) {
        const bool met = done && done();
        const quint32 elapsed = GetTickCount() - start; // unsigned: survives the tick's wrap
        if (met || elapsed >= limit) {
            FWaitTimer->stop();
            return met;
        }
        // Sleep in the event loop until something happens or the deadline's timer fires. A
        // wait nested in a handler restarts the one timer; this wait then starts it afresh.
        FWaitTimer->start(qMax(1, TicksToRealMs(limit - elapsed)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// ---- the port and its notifier ---------------------------------------------------------

void TMainKestromForm::WatchCOM() {
    UnwatchCOM();
    if (FCOMHandle == INVALID_COM_HANDLE)
        return;
    // The watch only tells the relay's wait what happened; the pass reads and writes.
    FCOMEnd = new SerialEnd(FCOMHandle, this);
    FPortReadable = true; // whatever came while nobody watched is read at once
    connect(FCOMEnd, &RelayEnd::readable, this, [this] { FPortReadable = true; });
    // Kept bytes that the port refused once it had room: the port is gone.
    connect(FCOMEnd, &RelayEnd::failed, this, [this] { COMWriteFailed(); });
    FRelay->SetDevice(FCOMEnd);
}

void TMainKestromForm::UnwatchCOM() {
    if (!FCOMEnd)
        return;
    DiscardSetupBytes();
    FRelay->SetDevice(nullptr);
    FCOMEnd->stopWatching();
    FCOMEnd->deleteLater();
    FCOMEnd = nullptr;
    FDeletesPending = true;
}

qint64 TMainKestromForm::SetupBytesWaiting() const {
    return FCOMEnd ? FCOMEnd->queued() : 0;
}

int TMainKestromForm::OpenCOM() {
    FCOMHandle = INVALID_COM_HANDLE;
    if (ReopenCOM()) {
        AddLog(QStringLiteral("COM порт успешно открыт"), QString());
        return FCOMHandle;
    }
    AddLog(QStringLiteral("Ошибка открытия COM порта"), QString());
    return INVALID_COM_HANDLE;
}

bool TMainKestromForm::ReopenCOM() {
    if (FCOMHandle != INVALID_COM_HANDLE)
        CloseCOM();
    bool ok = false;
    int speed = COMSettingsForm ? COMSettingsForm->SpeedComboBox->currentText().toInt(&ok) : 0;
    if (!ok)
        speed = DefaultCOMSpeed;
    const bool opened = OpenCOMPort(PortsListComboBox->currentText(), speed, FCOMHandle);
    if (opened)
        FNeedCOMReconnect = false;
    return opened;
}

void TMainKestromForm::CloseCOM() {
    // Nothing is pending in our own I/O (the port is non-blocking); only the watch goes.
    UnwatchCOM();
    CloseCOMPort(FCOMHandle);
}

int TMainKestromForm::COMRead() {
    int n = ReadCOMData(FCOMHandle, FDataBuffer);
    if (FModemConnect && CheckModemHangup(n)) {
        SetLink(lsRedial, QStringLiteral("Переподключить"));
        SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
        AddLog(QStringLiteral("Установили \"Нет подключения\", процедура COMRead"), QString());
        FConnected = false;
        // The modem needs these pauses around its hang-up command; they block on purpose.
        HangUpModem(FCOMHandle, THangUpKind::CommandOnly);
        CloseCOM();
        n = 0;
    }
    if (n < 0) {
        AddLog(QStringLiteral("Ошибка чтения из COM порта"), QString());
        // A hung-up port keeps reporting itself readable: stop watching it, or the relay spins.
        if (FCOMEnd)
            FCOMEnd->stopWatching();
        n = 0;
    }
    return n;
}

void TMainKestromForm::COMWriteFailed() {
    AddLog(QStringLiteral("Ошибка записи в COM порт"), QString());
    SetStatus(QStringLiteral("Прибор не доступен"), StatusColour::Red);
    FNeedCOMReconnect = true;
    // A gone port stays writable for poll: watching it would spin.
    if (FCOMEnd)
        FCOMEnd->stopWatching();
    DropSetupConnections();
    FReadSocket = 0; // the packet that failed is reported by the caller; the rest waiting goes
    DiscardSetupBytes();
}

void TMainKestromForm::COMWritePending() {
    const int n = std::exchange(FReadSocket, 0);
    const RelayCore::Fate fate = FRelay->ToDevice(FSetupBuffer, n);
    if (fate.delivery == RelayCore::Delivery::Failed)
        COMWriteFailed();
    LogBytes(FSetupBuffer, n, QStringLiteral("TCP->COM"));
    LogFate(RelayCore::Direction::ToDevice, fate);
}

// The handshake's and "+rb"'s short commands: a bounded wait for room is allowed here. A
// command the port has not taken even in part by then (a line held by flow control, a
// device that stopped reading) fails as a gone port does: the device would never see it.
int TMainKestromForm::COMWrite(int Count) {
    int n = WriteCOMDataWithin(FCOMHandle, FDataBuffer, Count, ShortWriteLimitMs);
    if (n <= 0) {
        COMWriteFailed();
        n = 0;
    }
    FReadSocket = 0;
    return n;
}

QByteArray TMainKestromForm::BufferToString(int Count) const {
    return QByteArray(FDataBuffer, qBound(0, Count, COM_BUFFER_SIZE));
}

int TMainKestromForm::StringToBuffer(const QByteArray& S) {
    const int n = int(qMin<qsizetype>(S.size(), COM_BUFFER_SIZE));
    std::memcpy(FDataBuffer, S.constData(), size_t(n));
    return n;
}

int TMainKestromForm::StageSetupPacket() {
    // The relay core takes at most what the port has room for below SetupQueueLimit, and
    // the connections in their order; with no room the sockets are left unread.
    if (FReadSocket == 0)
        FReadSocket = int(FRelay->ReadSetup(FSetupBuffer, COM_BUFFER_SIZE));
    return FReadSocket;
}

// ---- the loop ------------------------------------------------------------------------------

// A connection attempt that did not get as far as relaying: the window goes back to idle,
// the server (if started) stops, the port closes and the channel controls are usable again.
void TMainKestromForm::AbandonAttempt(const QString& logLine) {
    SetLink(lsIdle, QStringLiteral("Подключить"));
    SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
    if (!logLine.isEmpty())
        AddLog(logLine, QString());
    StopServer();
    if (FCOMHandle != INVALID_COM_HANDLE)
        CloseCOM();
    EnableChannelControls();
}

bool TMainKestromForm::DeviceAnswered() {
    if (DetectDevice())
        return true;
    if (FClosed) {
        AbandonAttempt(QString()); // the window is going: no box
        return false;
    }
    AddLog(QStringLiteral("Устройство не обнаружено, работа программы невозможна"), QString());
    Platform::MessageBox(this, QStringLiteral("Устройство не обнаружено, работа программы невозможна."),
                         QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
    AbandonAttempt(QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
    return false;
}

bool TMainKestromForm::SetupProgramStarted() {
    // A new connection starts with nothing of an earlier setup program pending.
    FReadSocket = 0;
    UseRelayChannel(RelayChannel::Serial);
    ServerSocket->Release(); // a new connection takes the port of the dialog afresh
    if (!StartServer()) {
        AbandonAttempt(QString());
        return false;
    }
    const SetupStart setup = StartSetup();
    if (FSetupIsStarted)
        return true;
    AddLog(QStringLiteral("Не найдена программа настройки"), QString());
    if (setup != SetupStart::FailureShown)
        Platform::MessageBox(
            this,
            MKChB->isChecked() ? QStringLiteral("Программа настройки для данного прибора не обнаружена, либо "
                                                "прибор не доступен, либо неверно введен мастер-код.")
                               : QStringLiteral("Программа настройки для данного прибора не обнаружена, либо "
                                                "прибор не доступен, либо не указан мастер-код."),
            QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
    AbandonAttempt(QStringLiteral("Установили \"Нет подключения\", главный цикл, нет программы настройки"));
    return false;
}

void TMainKestromForm::EndRelaySession() {
    FPortWatchTimer->stop();
    UnwatchCOM();
    if (FCOMHandle != INVALID_COM_HANDLE) {
        SendRBCommand();
        CloseCOM();
    }
    StopServer();
    if (FModemConnect) {
        // The call was lost, not ended by the user: the setup program stays for a redial.
        raise();
        activateWindow();
    } else {
        StopSetup();
    }
}

void TMainKestromForm::MainLoop() {
    // The port is fresh: a loss noted by an earlier attempt that gave up (a handshake write
    // after the modem hung up) is not this connection's.
    FNeedCOMReconnect = false;
    if (!DeviceAnswered() || !SetupProgramStarted())
        return;
    if (FCOMHandle == INVALID_COM_HANDLE) {
        // Cancelled (or the window closed) while a box was open: the port is gone already.
        AbandonAttempt(QString());
        if (!FModemConnect)
            StopSetup();
        return;
    }

    FConnected = true;
    SetLink(lsConnected, QStringLiteral("Отключить"));
    SetStatus(QStringLiteral("Подключен"), StatusColour::Neutral);
    URLLabel1->setEnabled(true);
    WatchCOM();
    FPortWatchDue = false;
    if (!FModemConnect)
        FPortWatchTimer->start();

    while (FConnected)
        RelayPass();
    EndRelaySession();
}

void TMainKestromForm::WaitForRelayWork() {
    // What the relay let go of at its own level (the port's notifiers, dropped setup
    // connections) is only deleted when the connection ends unless asked for here: a
    // session with many reopened ports or restarted setup programs would keep them all.
    if (FDeletesPending) {
        FDeletesPending = false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // The pass blocks in the event loop until serial data, room on a full port, a socket
    // event, a timer or input arrives. Whatever changes the relay's state arrives as an
    // event, so no deadline is needed. That wait processes every pending message; the
    // hand-overs below deliver what the handlers posted meanwhile (a click's queued work)
    // without asking the system again.
    if (FNeedCOMReconnect)
        ProcessMessages();
    else
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void TMainKestromForm::RelaySetupToPort() {
    if (StageSetupPacket() == 0)
        return;
    // A packet waits for the messages posted while it came in: a disconnect click handled
    // there keeps it from the device.
    QCoreApplication::sendPostedEvents();
    if (FConnected && !FNeedCOMReconnect && FCOMEnd) {
        COMWritePending();
    } else {
        FReadSocket = 0;
        LogFate(RelayCore::Direction::ToDevice, {RelayCore::Delivery::Ended});
    }
}

void TMainKestromForm::RelayPortToSetup() {
    if (FNeedCOMReconnect || FCOMHandle == INVALID_COM_HANDLE || !FPortReadable)
        return;
    FPortReadable = false;
    const int n = COMRead();
    if (n <= 0)
        return;
    QCoreApplication::sendPostedEvents();
    if (FConnected) {
        SendToSetup(n);
        LogBytes(FDataBuffer, n, QStringLiteral("COM->TCP"));
    } else {
        LogFate(RelayCore::Direction::ToSetup, {RelayCore::Delivery::Ended});
    }
}

void TMainKestromForm::EndForLostModemPort() {
    AddLog(QStringLiteral("Завершение работы по потере порта."), QString());
    SetLink(lsIdle, QStringLiteral("Подключить"));
    SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
    AddLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, модемное соединение, порт потерян"),
           QString());
    FConnected = false;
    EnableChannelControls();
    CloseCOM();
    FNeedCOMReconnect = false;
}

void TMainKestromForm::TryReopenPort() {
    Delay(500);
    ProcessMessages();
    if (!FNeedCOMReconnect || !FConnected)
        return;
    AddLog(QStringLiteral("Попытка переокрытия COM порта"), QString());
    if (!ReopenCOM())
        return; // the next pass tries again
    WatchCOM();
    if (!StartServer()) {
        // No server for the setup program (its box has been shown): the connection ends as
        // one whose server never started, never "Подключен" with nothing listening.
        SetLink(lsIdle, QStringLiteral("Подключить"));
        SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
        AddLog(QStringLiteral("Установили \"Нет подключения\", главный цикл, порт для оболочки не открыт"),
               QString());
        FConnected = false;
        EnableChannelControls();
        return;
    }
    AddLog(QStringLiteral("Порт успешно переоткрыт"), QString());
    SetStatus(QStringLiteral("Подключен"), StatusColour::Neutral);
}

void TMainKestromForm::WatchPortPresence() {
    if (!FPortWatchDue)
        return;
    FPortWatchDue = false;
    if (FModemConnect || URLLabel1->Tag == lsIdle || COMPortExists(PortsListComboBox->currentText()))
        return;
    CloseCOM();
    SetStatus(QStringLiteral("Прибор недоступен"), StatusColour::Red);
    // The setup program is cut off until the port is back, and finds the port refusing
    // meanwhile, not another account's program listening there.
    StopServer(ServerStop::KeepPort);
    FNeedCOMReconnect = true;
}

void TMainKestromForm::RelayPass() {
    WaitForRelayWork();
    if (!FNeedCOMReconnect) {
        // The relay proper: a piece each way in the same pass.
        RelaySetupToPort();
        RelayPortToSetup();
    } else if (FModemConnect) {
        EndForLostModemPort(); // the port of a modem connection was lost: the connection ends
    } else {
        TryReopenPort(); // a cable's port was lost: try to reopen it twice a second
    }
    // The port watch of cable connections, when its timer says it is due.
    WatchPortPresence();
}
