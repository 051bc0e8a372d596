// The relay loop of a serial connection (cable, or GSM modem once the call is up) and
// the serial port primitives it and the device handshake use.
#include "app/MainFormUnit.h"
#include "app/Platform.h"
#include "log/TimeFuncs.h"
#include "settings/COMSettingsUnit.h"

#include <QCoreApplication>
#include <QSocketNotifier>
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
    // The notifier only wakes the relay's wait; the pass itself reads the port.
    FCOMNotifier = new QSocketNotifier(FCOMHandle, QSocketNotifier::Read, this);
    connect(FCOMNotifier, &QSocketNotifier::activated, this, [] {});
}

void TMainKestromForm::UnwatchCOM() {
    if (!FCOMNotifier)
        return;
    FCOMNotifier->setEnabled(false);
    FCOMNotifier->deleteLater();
    FCOMNotifier = nullptr;
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
        if (FCOMNotifier)
            FCOMNotifier->setEnabled(false);
        n = 0;
    }
    return n;
}

// Writes count bytes from src to the port. A failure marks the device lost and drops the
// setup program's connection, so it reconnects once the port is back.
int TMainKestromForm::COMWriteFrom(const char* src, int count) {
    int n = WriteCOMData(FCOMHandle, src, count);
    if (n <= 0) {
        AddLog(QStringLiteral("Ошибка записи в COM порт"), QString());
        SetStatus(QStringLiteral("Прибор не доступен"), StatusColour::Red);
        FNeedCOMReconnect = true;
        DropSetupConnections();
        FReadSocket = 0; // this packet is reported by the caller; the rest waiting goes
        DiscardSetupBytes();
        FSetupConnected = false;
        n = 0;
    }
    FReadSocket = 0;
    return n;
}

int TMainKestromForm::COMWrite(int Count) {
    return COMWriteFrom(FDataBuffer, Count);
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
        FSetupQueue.remove(0, n);
        FReadSocket = n;
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
    if (!StartServer()) {
        AbandonAttempt(QString());
        return;
    }
    StartSetup();
    if (!FSetupIsStarted) {
        AddLog(QStringLiteral("Не найдена программа настройки"), QString());
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
    // 1. Wait for something to do. With nothing pending the pass blocks in the event loop
    //    until serial data, a socket event, a timer or input arrives.
    //    Whatever changes the relay's state arrives as an event, so no deadline is needed.
    const bool pending = FReadSocket > 0 || !FSetupQueue.isEmpty() || FNeedCOMReconnect;
    if (pending)
        ProcessMessages();
    else
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);

    if (!FNeedCOMReconnect) {
        // 2. The relay proper. (Messages were processed just above.)
        int n = StageSetupPacket();
        if (n > 0) {
            ProcessMessages();
            if (FConnected) {
                const int written = COMWriteFrom(FSetupBuffer, n);
                if (written > 0 && written < n) {
                    // The port took only part of it: the rest goes first in the next pass.
                    FSetupQueue.prepend(QByteArray(FSetupBuffer + written, n - written));
                }
                LogBytes(FSetupBuffer, written > 0 ? written : n, QStringLiteral("TCP->COM"));
            } else {
                AddLog(NotDelivered, QString());
                FReadSocket = 0;
            }
        }
        n = COMRead();
        if (n > 0) {
            ProcessMessages();
            if (FConnected) {
                SendToSetup(n);
                LogBytes(FDataBuffer, n, QStringLiteral("COM->TCP"));
            } else {
                AddLog(NotDelivered, QString());
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

    // 5.
    ProcessMessages();

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
