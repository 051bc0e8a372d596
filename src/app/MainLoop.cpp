// The relay loop of a serial connection (cable, or GSM modem once the call is up) and
// the serial port primitives it and the device handshake use.
#include "app/MainFormUnit.h"
#include "channels/COMNotifier.h"
#include "platform/Platform.h"
#include "log/TimeFuncs.h"
#include "settings/COMSettingsUnit.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QThread>
#include <cstring>

namespace {
constexpr int DefaultCOMSpeed = 19200;

const QString NotDelivered = QStringLiteral("Соединение было прервано, последний пакет не доставлен");
} // namespace

void TMainKestromForm::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TMainKestromForm::Delay(quint32 Milliseconds) {
    const quint32 start = GetTickCount();
    for (;;) {
        const quint32 elapsed = GetTickCount() - start; // unsigned: survives the tick's wrap
        if (elapsed >= Milliseconds) {
            FDelayTimer->stop();
            return;
        }
        // Sleep in the event loop until something happens or the deadline's timer fires.
        FDelayTimer->start(qMax(1, TicksToRealMs(Milliseconds - elapsed)));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// ---- the port and its notifier ---------------------------------------------------------

void TMainKestromForm::WatchCOM() {
    UnwatchCOM();
    if (FCOMHandle == INVALID_COM_HANDLE)
        return;
    // The watch only wakes the relay's wait; the pass itself reads and writes the port.
    FCOMNotifier = new COMNotifier(FCOMHandle, this);
    FCOMNotifier->setReadEnabled(true);
    // Room again on a full port: the next pass writes. One shot per full buffer, so a
    // writable port with nothing to send never keeps the loop awake.
    connect(FCOMNotifier, &COMNotifier::writable, this, [this] { FCOMNotifier->setWriteEnabled(false); });
}

void TMainKestromForm::UnwatchCOM() {
    if (!FCOMNotifier)
        return;
    FCOMNotifier->setReadEnabled(false);
    FCOMNotifier->setWriteEnabled(false);
    FCOMNotifier->deleteLater();
    FCOMNotifier = nullptr;
    FDeletesPending = true;
}

bool TMainKestromForm::COMOutputBlocked() const {
    return FCOMNotifier && FCOMNotifier->isWriteEnabled();
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
        QThread::msleep(250);
        WriteCOMString(FCOMHandle, "ATH\r\n");
        QThread::msleep(150);
        CloseCOM();
        n = 0;
    }
    if (n < 0) {
        AddLog(QStringLiteral("Ошибка чтения из COM порта"), QString());
        // A hung-up port keeps reporting itself readable: stop watching it, or the relay spins.
        if (FCOMNotifier) {
            FCOMNotifier->setReadEnabled(false);
            FCOMNotifier->setWriteEnabled(false);
        }
        n = 0;
    }
    return n;
}

void TMainKestromForm::COMWriteFailed() {
    AddLog(QStringLiteral("Ошибка записи в COM порт"), QString());
    SetStatus(QStringLiteral("Прибор не доступен"), StatusColour::Red);
    FNeedCOMReconnect = true;
    // A gone port stays writable for poll: watching it would spin.
    if (FCOMNotifier)
        FCOMNotifier->setWriteEnabled(false);
    DropSetupConnections();
    FReadSocket = 0; // the packet that failed is reported by the caller; the rest waiting goes
    FSetupWritten = 0;
    DiscardSetupBytes();
    FSetupConnected = false;
}

void TMainKestromForm::COMWritePending() {
    const char* from = FSetupBuffer + FSetupWritten;
    const int want = FReadSocket - FSetupWritten;
    const int n = WriteCOMData(FCOMHandle, from, want);
    if (n < 0) {
        COMWriteFailed();
        LogBytes(from, want, QStringLiteral("TCP->COM"));
        return;
    }
    if (n > 0)
        LogBytes(from, n, QStringLiteral("TCP->COM"));
    FSetupWritten += n;
    if (FSetupWritten >= FReadSocket) {
        FReadSocket = 0;
        FSetupWritten = 0;
        return;
    }
    // The port is full: the rest goes first once it has room.
    if (FCOMNotifier)
        FCOMNotifier->setWriteEnabled(true);
}

// The handshake's and "+rb"'s short commands: a bounded wait for room is allowed here.
int TMainKestromForm::COMWrite(int Count) {
    int n = WriteCOMDataWithin(FCOMHandle, FDataBuffer, Count, ShortWriteLimitMs);
    if (n < 0) {
        COMWriteFailed();
        n = 0;
    }
    // A packet of the setup program still staged goes back to the head of its queue, so
    // that its loss is reported with the rest when the connection ends.
    if (FReadSocket > FSetupWritten)
        FSetupQueue.prepend(FSetupBuffer + FSetupWritten, FReadSocket - FSetupWritten);
    FReadSocket = 0;
    FSetupWritten = 0;
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

// Moves the next piece of the setup program's bytes into FSetupBuffer once the previous
// one has gone to the port. Returns the bytes staged (FReadSocket).
int TMainKestromForm::StageSetupPacket() {
    if (FReadSocket == 0 && !FSetupQueue.isEmpty()) {
        const int n = int(qMin<qsizetype>(FSetupQueue.size(), COM_BUFFER_SIZE));
        std::memcpy(FSetupBuffer, FSetupQueue.constData(), size_t(n));
        FSetupQueue.remove(0, n); // O(1) at the front in Qt 6
        FReadSocket = n;
        FSetupWritten = 0;
        // Room in the queue again: take what the sockets held back meanwhile.
        PullSetupBytes();
    }
    return FReadSocket;
}

void TMainKestromForm::Timer1Timer() {
    Timer1->stop();
    if (FLANBoxOpen) {
        // No attempt starts while an error box of the LAN channel is open: the tick comes
        // again once it is closed.
        FReconnectAfterBox = true;
        return;
    }
    if (URLLabel1->Tag == lsIdle)
        return; // the user has ended the connection
    ++FReconectCount;
    SetClientActive(true);
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

void TMainKestromForm::MainLoop() {
    // Device check.
    if (!DetectDevice()) {
        if (FClosed) {
            AbandonAttempt(QString()); // the window is going: no box
            return;
        }
        AddLog(QStringLiteral("Устройство не обнаружено, работа программы невозможна"), QString());
        Platform::MessageBox(this, QStringLiteral("Устройство не обнаружено, работа программы невозможна."),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        AbandonAttempt(
            QStringLiteral("Установили \"Нет подключения\", главный цикл, нет ответа на VER_INFO"));
        return;
    }

    // A new connection starts with nothing of an earlier setup program pending.
    FSetupQueue.clear();
    FReadSocket = 0;
    FSetupWritten = 0;
    FSetupLost = 0;
    if (!StartServer()) {
        AbandonAttempt(QString());
        return;
    }
    StartSetup();
    if (!FSetupIsStarted) {
        AddLog(QStringLiteral("Не найдена программа настройки"), QString());
        if (!FSetupFailureShown)
            Platform::MessageBox(
                this,
                MKChB->isChecked()
                    ? QStringLiteral(
                          "Программа настройки для данного прибора не обнаружена, либо прибор не доступен, "
                          "либо неверно введен мастер-код.")
                    : QStringLiteral(
                          "Программа настройки для данного прибора не обнаружена, либо прибор не доступен, "
                          "либо не указан мастер-код."),
                QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
        AbandonAttempt(
            QStringLiteral("Установили \"Нет подключения\", главный цикл, нет программы настройки"));
        return;
    }

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

void TMainKestromForm::RelayPass() {
    // What the relay let go of at its own level (the port's notifiers, dropped setup
    // connections) is only deleted when the connection ends unless asked for here: a
    // session with many reopened ports or restarted setup programs would keep them all.
    if (FDeletesPending) {
        FDeletesPending = false;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // 1. Wait for something to do. The pass blocks in the event loop until serial data,
    //    room on a full port, a socket event, a timer or input arrives, unless the port
    //    can take bytes now. Whatever changes the relay's state arrives as an event, so
    //    no deadline is needed.
    const bool writable =
        !FNeedCOMReconnect && (FReadSocket > 0 || !FSetupQueue.isEmpty()) && !COMOutputBlocked();
    if (writable || FNeedCOMReconnect)
        ProcessMessages();
    else
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    if (!FNeedCOMReconnect) {
        // 2. The relay proper: a piece each way in the same pass.
        if (!COMOutputBlocked() && StageSetupPacket() > 0) {
            // A fresh packet waits for one more round of messages: a disconnect click
            // handled there keeps it from the device. The rest of a packet the port
            // took in part goes on without one.
            if (FSetupWritten == 0)
                ProcessMessages();
            if (FConnected && !FNeedCOMReconnect && FReadSocket > 0) {
                COMWritePending();
            } else if (FReadSocket > 0) {
                AddLog(NotDelivered, QString());
                FReadSocket = 0;
                FSetupWritten = 0;
            }
        }
        if (!FNeedCOMReconnect && FCOMHandle != INVALID_COM_HANDLE) {
            const int n = COMRead();
            if (n > 0) {
                ProcessMessages();
                if (FConnected) {
                    SendToSetup(n);
                    LogBytes(FDataBuffer, n, QStringLiteral("COM->TCP"));
                } else {
                    AddLog(NotDelivered, QString());
                }
            }
        }
    } else if (FModemConnect) {
        // 3. The port of a modem connection was lost: the connection ends.
        AddLog(QStringLiteral("Завершение работы по потере порта."), QString());
        SetLink(lsIdle, QStringLiteral("Подключить"));
        SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
        AddLog(
            QStringLiteral("Установили \"Нет подключения\", главный цикл, модемное соединение, порт потерян"),
            QString());
        FConnected = false;
        EnableChannelControls();
        CloseCOM();
        FNeedCOMReconnect = false;
    } else {
        // 4. The port of a cable connection was lost: try to reopen it twice a second.
        Delay(500);
        ProcessMessages();
        if (FNeedCOMReconnect && FConnected) {
            AddLog(QStringLiteral("Попытка переокрытия COM порта"), QString());
            if (ReopenCOM()) {
                WatchCOM();
                StartServer();
                AddLog(QStringLiteral("Порт успешно переоткрыт"), QString());
                SetStatus(QStringLiteral("Подключен"), StatusColour::Neutral);
            }
        }
    }

    // 6. Port watch of cable connections, when its timer says it is due.
    if (FPortWatchDue) {
        FPortWatchDue = false;
        if (!FModemConnect && URLLabel1->Tag != lsIdle && !COMPortExists(PortsListComboBox->currentText())) {
            CloseCOM();
            SetStatus(QStringLiteral("Прибор недоступен"), StatusColour::Red);
            StopServer();
            FNeedCOMReconnect = true;
        }
    }
}
