// The connect link: one click handler serves as connect, cancel, disconnect and redial.
#include "app/MainFormUnit.h"
#include "platform/Platform.h"

#include <QTcpSocket>

namespace {
// The link is disabled while its handler runs and enabled again however the handler ends.
struct LinkBusy {
    TURLLabel* link;
    explicit LinkBusy(TURLLabel* l) : link(l) { link->setEnabled(false); }
    ~LinkBusy() { link->setEnabled(true); }
};
} // namespace

std::optional<TMainKestromForm::ChannelKind> TMainKestromForm::SelectedKind() {
    const int item = ConnectTypeComboBox->currentIndex();
    if (item == chModemV32 || item == chModemV110) {
        FProto = item == chModemV32 ? 0 : 1;
        return ChannelKind::Modem;
    }
    if (item == chCable)
        return ChannelKind::Cable;
    if (item == chIP)
        return ChannelKind::IP;
    return std::nullopt; // no channel selected: nothing to connect
}

void TMainKestromForm::URLLabel1Click() {
    const std::optional<ChannelKind> kind = SelectedKind();
    if (!kind)
        return;
    LinkBusy busy(URLLabel1);
    if (!ConnectInputsGiven(*kind))
        return;
    switch (URLLabel1->Tag) {
    case lsIdle:
        Connect(*kind);
        break;
    case lsConnecting:
        CancelConnect(*kind);
        break;
    case lsConnected:
        Disconnect(*kind);
        break;
    case lsRedial:
        Redial();
        break;
    default:
        break;
    }
}

bool TMainKestromForm::ConnectInputsGiven(ChannelKind kind) {
    // On Linux "a port is selected" stands for the Windows test that the text names a COM port.
    if (kind != ChannelKind::IP && PortsListComboBox->currentText().isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Нет доступных COM портов."), QStringLiteral("Ошибка"),
                             Platform::BoxIcon::Error);
        return false;
    }
    if (URLLabel1->Tag == lsIdle && kind == ChannelKind::Modem &&
        PhoneNumber->currentText().trimmed().isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Не указан номер телефона."), QStringLiteral("Ошибка"),
                             Platform::BoxIcon::Error);
        return false;
    }
    return true;
}

void TMainKestromForm::Connect(ChannelKind kind) {
    SetLink(lsConnecting, QStringLiteral("Отмена подключения"));
    ProcessMessages(); // let the new caption be drawn
    switch (kind) {
    case ChannelKind::Modem:
        SavePhoneNumber(PhoneNumber->currentText());
        DisableModemControls();
        FModemConnect = true;
        StartDial(FProto); // progress and outcome arrive from the dialer
        break;
    case ChannelKind::Cable:
        ConnectCable();
        break;
    case ChannelKind::IP:
        ConnectLAN();
        break;
    }
}

void TMainKestromForm::ConnectCable() {
    ConnectTypeComboBox->setEnabled(false);
    PortsListComboBox->setEnabled(false);
    FModemConnect = false;
    SpeedButton1->setEnabled(false);
    if (OpenCOM() == INVALID_COM_HANDLE) {
        // Stays in "Отмена подключения" until the user cancels.
        SetStatus(QStringLiteral("COM-порт занят"), StatusColour::Red);
        return;
    }
    SetStatus(QStringLiteral("Идет подключение"), StatusColour::Neutral);
    ProcessMessages();
    MainLoop(); // returns when the connection is over
}

void TMainKestromForm::ConnectLAN() {
    SetStatus(QStringLiteral("Идет подключение"), StatusColour::Unchanged);
    SetClientActive(false);
    UseRelayChannel(RelayChannel::LAN);
    FPanelHost = IPCombo->currentText();
    // The link is enabled on this channel only while the text is a port number (1 to 65535).
    FPanelPort = quint16(PortCombo->currentText().toUInt());
    SetClientActive(true);
    SetIPControlsEnabled(false);
}

void TMainKestromForm::CancelConnect(ChannelKind kind) {
    SetLink(lsIdle, QStringLiteral("Подключить"));
    SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
    AddLog(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения в момент "
                          "подключения к прибору"),
           QString());
    switch (kind) {
    case ChannelKind::Modem:
        CancelModemDial();
        break;
    case ChannelKind::Cable:
        CloseCOM();
        EnableChannelControls();
        break;
    case ChannelKind::IP:
        ResetLANChannel(); // this is also how the user ends an IP connection
        break;
    }
}

void TMainKestromForm::Disconnect(ChannelKind kind) {
    SetLink(lsIdle, QStringLiteral("Подключить"));
    FNeedCOMReconnect = false;
    SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
    AddLog(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном "
                          "приборе (разрыв подключения)"),
           QString());
    FConnected = false; // the running MainLoop leaves its loop and does its closing steps
    if (kind == ChannelKind::Modem) {
        ModemHangUp();
        CloseCOM();
        FModemConnect = false; // so the loop's end stops the setup program too
    }
    const QString port = PortsListComboBox->currentText();
    FillPortsList();
    SelectComboItem(PortsListComboBox, port);
    EnableChannelControls();
}

void TMainKestromForm::Redial() {
    // The setup program of the lost call is still running; the new call reuses it.
    SetLink(lsConnecting, QStringLiteral("Отмена подключения"));
    SavePhoneNumber(PhoneNumber->currentText());
    DisableModemControls();
    FModemConnect = true;
    StartDial(ConnectTypeComboBox->currentIndex());
}
