// The LAN channel: the panel reached over one TCP connection (ClientSocket). Everything
// here is driven by the socket's events; the local server's read handler sends the setup
// program's bytes the other way (RelaySetupToPanelOnce).
#include "app/DeviceHandshake.h"
#include "app/MainFormUnit.h"
#include "channels/SocketErrors.h"
#include "platform/Platform.h"
#include "relay/RelayCore.h"

#include <QTcpSocket>
#include <QVariant>

namespace {
// Reconnect attempts in a row before the channel gives up.
constexpr int MaxReconnects = 10;
} // namespace

void TMainKestromForm::WireClientSocket() {
    // Unbuffered (connectToHost in SetClientActive): the relay's reads and writes reach the
    // kernel at once.
    // A reset by the panel is a socket error, its close a disconnect: the end tells them apart.
    FPanelEnd = new SocketEnd(ClientSocket, this, true);
    // The connect and error events are handled from the event loop, not inside the
    // socket's own signal: the connect handler runs the handshake's waits and the error
    // handler shows boxes, and both may take the socket down. An event of an attempt that
    // has been given up meanwhile is dropped.
    connect(ClientSocket, &QTcpSocket::connected, this, [this] {
        const quint32 attempt = FClientAttempt;
        QMetaObject::invokeMethod(
            this,
            [this, attempt] {
                if (attempt != FClientAttempt)
                    return;
                if (ClientSocket->state() != QAbstractSocket::ConnectedState) {
                    // Up and down again before we looked: a connection lost.
                    ClientSocketDisconnect();
                    return;
                }
                // Small request/response packets must not wait 40 ms for company.
                ClientSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                FClientActive = true;
                ClientSocketConnect();
            },
            Qt::QueuedConnection);
    });
    // The panel's close or reset is found by a read (an unbuffered socket reports it so); Qt
    // signals it itself only when it gives the socket up after a failed write.
    connect(ClientSocket, &QTcpSocket::disconnected, this, [this] { PanelClosed(); });
    connect(ClientSocket, &QTcpSocket::readyRead, this, [this] {
        if (FClientActive)
            ClientSocketRead();
    });
    connect(ClientSocket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        // A close by the panel is Qt's error too, a reset as well (Qt cannot tell them
        // apart): PanelClosed, through the disconnected signal that follows, decides.
        if (error == QAbstractSocket::RemoteHostClosedError)
            return;
        // The system's error first: Qt's text is in the user's language, and any further
        // call may overwrite the system's.
        const int code = SocketErrors::WinsockError(error, SocketErrors::LastNativeError());
        PostClientSocketError(FClientAttempt, code);
    });
}

void TMainKestromForm::PostClientSocketError(quint32 attempt, int code) {
    QMetaObject::invokeMethod(
        this,
        [this, attempt, code] {
            // Given up or replaced meanwhile (the user's cancel, a drop already handled as
            // the disconnect event): the error belongs to nobody now.
            if (attempt != FClientAttempt)
                return;
            int errorCode = code;
            ClientSocketError(errorCode);
        },
        Qt::QueuedConnection);
}

void TMainKestromForm::RelayHeldSetupBytes() {
    // A piece at a time while there is room and something to take; what is left is taken
    // up as its sockets report it.
    for (int i = 0; i < 64 && FRelay->SetupCount() > 0; ++i) {
        const int before = FRelay->SetupCount();
        if (!RelaySetupToPanelOnce() && FRelay->SetupCount() == before)
            break;
    }
}

void TMainKestromForm::PanelClosed() {
    if (!FClientActive)
        return;
    if (FPanelEnd->closedByReset()) {
        // Not a disconnect: a failed receive, error 10054, which the error handler deals with
        // (its deactivation raises the disconnect). The socket stays active until then; a
        // second look at the dead socket meanwhile replaces this report.
        PostClientSocketError(++FClientAttempt, SocketErrors::WSAECONNRESET);
        return;
    }
    FClientActive = false;
    ++FClientAttempt;
    FRelay->SetDevice(nullptr); // the setup program's bytes have nowhere to go now
    ClientSocketDisconnect();
}

void TMainKestromForm::SetClientActive(bool Active) {
    if (Active) {
        if (FClientActive)
            return;
        if (ClientSocket->state() != QAbstractSocket::UnconnectedState)
            ClientSocket->abort();
        ++FClientAttempt;
        FRelay->SetDevice(nullptr);
        FRelay->Reset();
        ClientSocket->connectToHost(FPanelHost, FPanelPort, QIODevice::ReadWrite | QIODevice::Unbuffered);
        return;
    }
    ++FClientAttempt;
    FRelay->SetDevice(nullptr);
    if (FClientActive) {
        // A connected socket raises its disconnect event before the deactivation returns.
        FClientActive = false;
        ClientSocket->abort();
        ClientSocketDisconnect();
        return;
    }
    // A connect still on its way is given up without any event.
    const QAbstractSocket::SocketState state = ClientSocket->state();
    if (state == QAbstractSocket::HostLookupState || state == QAbstractSocket::ConnectingState)
        ClientSocket->abort();
}

void TMainKestromForm::LANErrorBox(const QString& Text) {
    if (FLANBox != LANBox::None) {
        // Boxes of this channel never stack up; the text still reaches the log.
        AddLog(Text, QString());
        return;
    }
    FLANBox = LANBox::Open;
    StartFlash();
    Platform::MessageBox(this, Text, QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
    StopFlash();
    const bool reconnectDue = FLANBox == LANBox::OpenReconnectDue;
    FLANBox = LANBox::None;
    // A reconnect fell due while the box was open: it follows one interval after the box
    // was closed, unless the user has ended the connection meanwhile.
    if (reconnectDue && URLLabel1->Tag != lsIdle)
        Timer1->start();
}

void TMainKestromForm::Timer1Timer() {
    Timer1->stop();
    if (FLANBox != LANBox::None) {
        // No attempt starts while an error box of the LAN channel is open: the tick comes
        // again once it is closed.
        FLANBox = LANBox::OpenReconnectDue;
        return;
    }
    if (URLLabel1->Tag == lsIdle)
        return; // the user has ended the connection
    ++FReconectCount;
    SetClientActive(true);
}

void TMainKestromForm::ClientSocketConnect() {
    AddLog(QStringLiteral("LAN connect"), QString());
    FReconectCount = 0;
    FNeedAskLANVer = true;
    if (ClientSocket->bytesAvailable() > 0)
        ClientSocketRead(); // the panel spoke before we looked
    const bool answered = LANHandshake();
    if (URLLabel1->Tag == lsIdle) {
        // The user cancelled during the handshake: nothing more happens for this attempt.
        SetClientActive(false);
        return;
    }
    if (!answered) {
        SetClientActive(false); // runs ClientSocketDisconnect, which schedules the next attempt
        LANErrorBox(QStringLiteral("Панель не отвечает"));
        return;
    }
    if (!FClientActive)
        return; // dropped right after answering: the disconnect handler has scheduled a reconnect
    // Identified: the setup program's bytes go to the panel from now on.
    FRelay->SetDevice(FPanelEnd);
    SetStatus(QStringLiteral("Подключен"), StatusColour::Unchanged);
    // A reconnect of a running session only brings the local server back. Until a setup
    // program runs (the first attempts failed the handshake) every success is a first one.
    if (FNeedLANReconnect && FSetupIsStarted) {
        FNeedLANReconnect = false;
        if (!StartServer())
            EndForServerFailure();
        return;
    }
    FNeedLANReconnect = false;
    ServerSocket->Release(); // a new connection takes the port of the dialog afresh
    if (!StartServer()) {
        EndForServerFailure();
        return;
    }
    StartSetup();
    SaveIPList();
    SetIPControlsEnabled(false);
    SetLink(lsConnecting, QStringLiteral("Отключить"));
}

void TMainKestromForm::ClientSocketDisconnect() {
    if (URLLabel1->Tag == lsIdle)
        return; // the user ended the connection, or the channel was reset
    AddLog(QStringLiteral("Получен disconnect от панели."), QString());
    SetClientActive(false);
    // Until the reconnect the setup program finds the port refusing, not another
    // account's program listening there.
    StopServer(ServerStop::KeepPort);
    Timer1->start();
    FNeedLANReconnect = true;
}

void TMainKestromForm::ClientSocketRead() {
    if (FNeedAskLANVer) {
        // The handshake's answer: neither logged nor relayed, and bounded.
        FPanelEnd->noteReset();
        DeviceHandshake::CollectLANAnswer(FVerInfo, ClientSocket->readAll());
        if (FPanelEnd->gone())
            PanelClosed(); // a read found the panel's close
        return;
    }
    // The setup program is not keeping up: the panel's bytes stay unread (TCP holds the
    // panel back) until its connection has room again (the relay core's setupRoom).
    if (!FRelay->SetupHasRoom())
        return;
    const qint64 n = FPanelEnd->read(FDataBuffer, LANPiece);
    if (n < 0) {
        PanelClosed();
        return;
    }
    if (n == 0)
        return;
    if (LogRecording()) {
        AddLog(QStringLiteral("PANEL->SETUP"), QString());
        LogHexDump(QByteArray::fromRawData(FDataBuffer, n), int(n));
    }
    SendToSetup(int(n));
}

void TMainKestromForm::SetIPControlsEnabled(bool Enabled) {
    IPCombo->setEnabled(Enabled);
    PortCombo->setEnabled(Enabled);
    ConnectTypeComboBox->setEnabled(Enabled);
}

void TMainKestromForm::ResetLANChannel() {
    SetIPControlsEnabled(true);
    SetClientActive(false);
    FNeedAskLANVer = true;
    FNeedLANReconnect = false;
    SetLink(lsIdle, QStringLiteral("Подключить"));
    // No further attempt is made, not even one already due: it would bring up a connection
    // nobody asked for.
    Timer1->stop();
    if (FLANBox == LANBox::OpenReconnectDue)
        FLANBox = LANBox::Open;
    StopSetup();
    StopServer();
}

void TMainKestromForm::EndForServerFailure() {
    // The box naming the port has been shown by StartServer. The link goes idle first, so
    // that dropping the panel's socket schedules no reconnect.
    SetLink(lsIdle, QStringLiteral("Подключить"));
    SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
    AddLog(QStringLiteral("Установили \"Нет подключения\", LAN, порт для оболочки не открыт"), QString());
    ResetLANChannel();
}

void TMainKestromForm::ClientSocketError(int& ErrorCode) {
    if (ConnectTypeComboBox->currentIndex() != chIP) {
        AddLog(QStringLiteral("Соединение не по LAN"), QString());
        ErrorCode = 0;
        SetClientActive(false);
        return;
    }
    SetStatus(QStringLiteral("Прибор не доступен"), StatusColour::Unchanged);
    LogFmt(QStringLiteral("Ошибка сокета %d"), {ErrorCode});
    SetClientActive(false); // a connected socket runs ClientSocketDisconnect here
    if (ErrorCode == SocketErrors::WSAEADDRNOTAVAIL)
        LANErrorBox(QStringLiteral("Нет ответа с указанного адреса."));
    else if (ErrorCode != SocketErrors::WSAECONNABORTED)
        LANErrorBox(QStringLiteral("Сбой подключения."));
    ErrorCode = 0;
    if (URLLabel1->Tag == lsIdle)
        return; // the user ended the connection while the box was open
    if (!FSetupIsStarted) {
        ResetLANChannel();
    } else if (FReconectCount < MaxReconnects) {
        LogFmt(QStringLiteral("Попыток переподключения %d"), {FReconectCount});
        Timer1->start();
    } else {
        // Given up: the setup program keeps running and the window stays as it is until
        // the user disconnects.
        LANErrorBox(QStringLiteral("Сбой подключения."));
    }
}

bool TMainKestromForm::RelaySetupToPanelOnce() {
    // The relay core takes the setup program's bytes in connection order, and none while
    // the panel's connection holds LANQueueLimit already (TCP then holds the setup program).
    const qint64 n = FRelay->ReadSetup(FSetupBuffer, LANPiece);
    if (n <= 0)
        return false;
    if (LogRecording()) {
        AddLog(QStringLiteral("SETUP->PANEL"), QString());
        LogHexDump(QByteArray::fromRawData(FSetupBuffer, n), int(n));
    }
    // Straight to the kernel; what it does not take waits in the socket, in order. With no
    // panel (or one being identified) the bytes are lost.
    const RelayCore::Fate fate = FRelay->ToDevice(FSetupBuffer, n);
    LogFate(RelayCore::Direction::ToDevice, fate);
    if (fate.delivery == RelayCore::Delivery::Failed)
        PanelClosed();
    return true;
}
