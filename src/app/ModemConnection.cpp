// The GSM modem channel on the main window's side: starting a dial, its progress, the
// dialer's end, cancelling it and hanging the call up.
#include "app/MainFormUnit.h"
#include "channels/ModemHangUp.h"
#include "channels/RingThread.h"
#include "log/LOGUnit.h"

#include <QThread>

namespace {
constexpr qint32 ModemBaudRate = 19200;
} // namespace

void TMainKestromForm::customEvent(QEvent* event) {
    if (event->type() == TModemStatusEvent::EventType) {
        WMModemStatus(static_cast<TModemStatusEvent*>(event)->WParam);
        return;
    }
    QWidget::customEvent(event);
}

void TMainKestromForm::WMModemStatus(int WParam) {
    // A post of a dial that has been cancelled meanwhile must not overwrite the status.
    if (URLLabel1->Tag != lsConnecting)
        return;
    QString text = Label7->text();
    switch (WParam) {
    case 1:
        text = QStringLiteral("Инициализация модема");
        break;
    case 2:
        text = QStringLiteral("Регистрация в сети");
        break;
    case 3:
        text = QStringLiteral("Набор номера");
        break;
    default:
        break; // only the colour goes back to neutral
    }
    SetStatus(text, StatusColour::Neutral);
}

void TMainKestromForm::StartDial(int Proto) {
    FreeRing(); // the previous dial has ended; its object goes now
    TRingThreadCreateStruct request;
    request.COM = PortsListComboBox->currentText();
    request.BaudRate = ModemBaudRate;
    request.Phone = PhoneNumber->currentText();
    if (QListWidget* list = LOGForm ? LOGForm->Log : nullptr)
        request.Log = [list](const QString& line) { SyncLog(list, line); };
    request.TerminateHandler = [this](QObject* Sender) { RingThreadDone(Sender); };
    request.Owner = this;
    request.Proto = Proto;
    FRing = new TRingThread(request);
}

void TMainKestromForm::RingThreadDone(QObject* Sender) {
    auto* ring = qobject_cast<TRingThread*>(Sender);
    if (!ring)
        return;
    const quint32 code = ring->ErrorCode();
    FCOMHandle = ring->TakeCOM();
    if (code == rrConnected) {
        MainLoop(); // returns when the connection is over
        return;
    }
    // A call that came up while the window cancelled or closed: it is not left billed.
    if (ring->CallUp() && FCOMHandle != INVALID_COM_HANDLE)
        ModemHangUp();
    if (code >= rrPortError && code <= rrNoAnswer) {
        CloseCOM();
        SetStatus(ModemErrorText(code), StatusColour::Red);
        SetLink(lsIdle, QStringLiteral("Подключить"));
        EnableChannelControls();
    } else if (code == rrCancelled) {
        CloseCOM();
    }
}

void TMainKestromForm::ModemHangUp() {
    if (FCOMHandle == INVALID_COM_HANDLE)
        return; // the port is gone: nothing to hang up through
    HangUpModem(FCOMHandle, THangUpKind::Escape);
}

void TMainKestromForm::CancelModemDial() {
    if (FRing && FRing->HandlerRunning()) {
        // The call is connected and its connection is being set up inside the dialer's
        // termination handler, which the worker is blocked in: waiting for the thread
        // here would never end. The connection ends like a disconnect instead.
        FConnected = false;
        if (FCOMHandle != INVALID_COM_HANDLE)
            ModemHangUp();
        CloseCOM();
        EnableChannelControls();
        FModemConnect = false;
        StopSetup();
        StopServer();
        FreeRing();
        return;
    }
    CloseCOM();
    EnableChannelControls();
    if (!FRing)
        return;
    FRing->SetErrorCode(rrCancelled);
    FRing->Terminate();
    FRing->WaitFor(); // RingThreadDone runs meanwhile and closes the thread's port
    delete FRing;
    FRing = nullptr;
}

void TMainKestromForm::FreeRing() {
    TRingThread* ring = FRing;
    FRing = nullptr;
    if (!ring)
        return;
    if (ring->HandlerRunning()) {
        // Its handler is still on the stack: the object goes once the thread has finished.
        connect(ring, &QThread::finished, ring, &QObject::deleteLater);
        return;
    }
    delete ring; // stops a dial still running, serving its hand-overs while it waits
}
