// The connect link: one click handler serves as connect, cancel, disconnect and redial.
#include "app/MainFormUnit.h"
#include "platform/Platform.h"
#include "relay/RelayCore.h"

#include <QTcpSocket>

namespace {
enum ChannelKind { kindModem = 0, kindCable = 1, kindIP = 2, kindNone = -1 };

// The link is disabled while its handler runs and enabled again however the handler ends.
struct LinkBusy {
    TURLLabel* link;
    explicit LinkBusy(TURLLabel* l) : link(l) { link->setEnabled(false); }
    ~LinkBusy() { link->setEnabled(true); }
};
} // namespace

void TMainKestromForm::URLLabel1Click() {
    const int item = ConnectTypeComboBox->currentIndex();
    ChannelKind kind = kindNone;
    if (item == chModemV32 || item == chModemV110) {
        kind = kindModem;
        FProto = item == chModemV32 ? 0 : 1;
    } else if (item == chCable) {
        kind = kindCable;
    } else if (item == chIP) {
        kind = kindIP;
    }
    if (kind == kindNone)
        return; // no channel selected: nothing to connect
    LinkBusy busy(URLLabel1);

    // On Linux "a port is selected" stands for the Windows test that the text names a COM port.
    if ((kind == kindModem || kind == kindCable) && PortsListComboBox->currentText().isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Нет доступных COM портов."), QStringLiteral("Ошибка"),
                             Platform::BoxIcon::Error);
        return;
    }
    if (URLLabel1->Tag == lsIdle && kind == kindModem && PhoneNumber->currentText().trimmed().isEmpty()) {
        Platform::MessageBox(this, QStringLiteral("Не указан номер телефона."), QStringLiteral("Ошибка"),
                             Platform::BoxIcon::Error);
        return;
    }

    switch (URLLabel1->Tag) {
    case lsIdle: {
        SetLink(lsConnecting, QStringLiteral("Отмена подключения"));
        ProcessMessages(); // let the new caption be drawn
        if (kind == kindModem) {
            SavePhoneNumber(PhoneNumber->currentText());
            DisableModemControls();
            FModemConnect = true;
            StartDial(FProto); // progress and outcome arrive from the dialer
        } else if (kind == kindCable) {
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
        } else if (kind == kindIP) {
            SetStatus(QStringLiteral("Идет подключение"), StatusColour::Unchanged);
            SetClientActive(false);
            UseRelayChannel(RelayChannel::LAN);
            ClientSocket->setProperty("Host", IPCombo->currentText());
            ClientSocket->setProperty("Port", PortCombo->currentText().toUInt());
            SetClientActive(true);
            IPCombo->setEnabled(false);
            PortCombo->setEnabled(false);
            ConnectTypeComboBox->setEnabled(false);
        }
        break;
    }
    case lsConnecting: {
        SetLink(lsIdle, QStringLiteral("Подключить"));
        SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
        AddLog(QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения в момент "
                              "подключения к прибору"),
               QString());
        if (kind == kindModem) {
            CancelModemDial();
        } else if (kind == kindCable) {
            CloseCOM();
            EnableChannelControls();
        } else if (kind == kindIP) {
            IPCombo->setEnabled(true);
            PortCombo->setEnabled(true);
            ConnectTypeComboBox->setEnabled(true);
            FNeedAskLANVer = true;
            FNeedLANReconnect = false;
            // After the user's click no further attempt is made, not even one already due.
            Timer1->stop();
            FReconnectAfterBox = false;
            SetClientActive(false);
            StopSetup();
            StopServer();
        }
        break;
    }
    case lsConnected: {
        SetLink(lsIdle, QStringLiteral("Подключить"));
        FNeedCOMReconnect = false;
        SetStatus(QStringLiteral("Нет подключения"), StatusColour::Neutral);
        AddLog(
            QStringLiteral("Установили \"Нет подключения\", нажатие на кнопку подключения при подключенном "
                           "приборе (разрыв подключения)"),
            QString());
        FConnected = false; // the running MainLoop leaves its loop and does its closing steps
        if (kind == kindModem) {
            ModemHangUp();
            CloseCOM();
            FModemConnect = false; // so the loop's end stops the setup program too
        }
        const QString port = PortsListComboBox->currentText();
        FillPortsList();
        SelectComboItem(PortsListComboBox, port);
        EnableChannelControls();
        break;
    }
    case lsRedial: {
        // The setup program of the lost call is still running; the new call reuses it.
        SetLink(lsConnecting, QStringLiteral("Отмена подключения"));
        SavePhoneNumber(PhoneNumber->currentText());
        DisableModemControls();
        FModemConnect = true;
        StartDial(ConnectTypeComboBox->currentIndex());
        break;
    }
    default:
        break;
    }
}
