// The short command dialogue that identifies the device on a freshly opened serial port.
#include "app/DeviceHandshake.h"

#include "app/MainFormUnit.h"
#include "channels/ModemResult.h"
#include "log/TimeFuncs.h"
#include "platform/AnsiCodec.h"
#include "relay/RelayEnd.h"

#include <QTcpSocket>

namespace DeviceHandshake {

bool AnswerStep(QByteArray& collected, const QByteArray& echo, const QByteArray& terminator) {
    const qsizetype at = collected.indexOf(echo);
    if (at >= 0 && !echo.isEmpty())
        collected.remove(at, echo.size());
    return collected.contains(terminator);
}

bool ContainsHangupWord(const QByteArray& text) {
    return ModemHangupResult(text) != rrConnected;
}

int StopPanelPause(int verInfoWait, int floorMs) {
    return qMax(verInfoWait / 12, floorMs);
}

void CollectLANAnswer(QByteArray& collected, const QByteArray& received, qsizetype limit) {
    const qsizetype room = limit - collected.size();
    if (room > 0)
        collected += received.left(room);
}

bool LANAnswerComplete(const QByteArray& collected) {
    return collected.contains("OK");
}

} // namespace DeviceHandshake

namespace {
const QString AppToCom = QStringLiteral("APP->COM");
const QString ComToApp = QStringLiteral("COM->APP");

// Puts the connect link's click handler back however DetectDevice ends.
struct LinkClickDetach {
    TMainKestromForm* form;
    explicit LinkClickDetach(TMainKestromForm* f) : form(f) { form->URLLabel1->OnClick = nullptr; }
    ~LinkClickDetach() {
        TMainKestromForm* f = form;
        form->URLLabel1->OnClick = [f] { f->URLLabel1Click(); };
    }
};
} // namespace

bool TMainKestromForm::SerialAnswerWait(const QByteArray& echo, const QByteArray& terminator, quint32 pause,
                                        bool versionWait, QByteArray& collected) {
    collected.clear();
    if (versionWait)
        FVerInfo.clear();
    const quint32 start = GetTickCount();
    while (GetTickCount() - start < quint32(FVerInfoWait)) {
        if (FClosed)
            return false; // the window is closing: nobody waits for the answer any more
        const int n = COMRead();
        if (n > 0)
            collected += QByteArray(FDataBuffer, n);
        // The version waits only look again when something arrived.
        if ((!versionWait || n > 0) && DeviceHandshake::AnswerStep(collected, echo, terminator)) {
            if (versionWait) {
                AddLog(AnsiCodec::toText(collected), ComToApp);
                FVerInfo = collected;
            }
            return true;
        }
        Delay(pause);
    }
    if (versionWait && !collected.isEmpty()) {
        // Something came, but never its terminator: show what, for the technician.
        AddLog(QStringLiteral("Ответ устройства не завершен (нет \"%1\"), получено байт: %2")
                   .arg(AnsiCodec::toText(terminator).trimmed())
                   .arg(collected.size()),
               QString());
        AddLog(AnsiCodec::toText(collected), ComToApp);
    }
    return false;
}

bool TMainKestromForm::DetectDevice() {
    bool result = false;
    const int channel = ConnectTypeComboBox->currentIndex();
    if (channel == chModemV32 || channel == chModemV110) {
        FVerInfoWait = 60000;
        FSP = false;
    } else {
        ReadSetupFlags();
        FVerInfoWait = 5000;
    }
    LinkClickDetach detach(this);
    QByteArray collected;
    const QByteArray code = AnsiCodec::fromText(MasterKeyEdit->text());

    if (FOldConnect) {
        if (MKChB->isChecked()) {
            const QByteArray text = "+id=" + code;
            COMWrite(StringToBuffer(text + "\r"));
            AddLog(AnsiCodec::toText(text), AppToCom);
            Delay(250);
            // Whether the code was taken or not, the dialogue goes on.
            SerialAnswerWait(text, "OK\r", 100, false, collected);
        }
        COMWrite(StringToBuffer("+v\r"));
        AddLog(QStringLiteral("+v"), AppToCom);
        result = SerialAnswerWait("+v\r", "OK\r", 150, true, collected);
        return result;
    }

    if (MKChB->isChecked()) {
        const QByteArray line = "+CHECK_MASTER_CODE=1,\"" + code + "\"";
        const QByteArray command = line + "\r\n";
        COMWrite(StringToBuffer(command));
        AddLog(AnsiCodec::toText(line), AppToCom);
        result = SerialAnswerWait(command, "OK\r\n", 100, false, collected);
        AddLog(AnsiCodec::toText(collected), ComToApp);
    } else {
        result = true;
    }

    if (FSP) {
        // The panel needs time to stop before it answers anything else; what it says
        // meanwhile is read and thrown away.
        const QByteArray stop = "+K5_STOP_PANEL=1,1\r\n";
        COMWrite(StringToBuffer(stop));
        Delay(quint32(DeviceHandshake::StopPanelPause(FVerInfoWait, 1000)));
        COMRead();
        COMWrite(StringToBuffer(stop));
        Delay(quint32(DeviceHandshake::StopPanelPause(FVerInfoWait, 2000)));
        COMRead();
    }

    if (!result)
        return false; // the master code was not acknowledged: no version request

    COMWrite(StringToBuffer("+VER_INFO=?\r\n"));
    AddLog(QStringLiteral("+VER_INFO=?"), AppToCom);
    if (SerialAnswerWait("+VER_INFO=?\r\n", "OK\r\n", 150, true, collected))
        result = true;
    return result;
}

bool TMainKestromForm::LANHandshake() {
    // Nothing of this dialogue is logged. The panel's answers arrive through
    // ClientSocketRead, which collects them into FVerInfo while FNeedAskLANVer is set.
    constexpr quint32 AnswerWait = 1500;
    bool result = false;
    // An answer kept from an earlier connection must not pass for this one's "OK".
    FVerInfo.clear();
    const auto waitForOK = [this] {
        // A panel that has gone, or a user who cancelled, ends the wait at once.
        WaitUntil(GetTickCount(), AnswerWait,
                  [this] { return DeviceHandshake::LANAnswerComplete(FVerInfo) || !FClientActive; });
        return DeviceHandshake::LANAnswerComplete(FVerInfo);
    };
    const auto sendText = [this](const QByteArray& text) {
        if (!FClientActive)
            return;
        FPanelEnd->noteReset();
        ClientSocket->write(text);
        ClientSocket->flush();
    };
    if (MKChB->isChecked()) {
        sendText("+CHECK_MASTER_CODE=1,\"" + AnsiCodec::fromText(MasterKeyEdit->text()) + "\"\r\n");
        result = waitForOK();
    }
    FVerInfo.clear();
    sendText("+VER_INFO=?\r\n");
    if (waitForOK())
        result = true;
    FNeedAskLANVer = false;
    return result;
}

bool TMainKestromForm::CheckModemHangup(int Count) {
    if (Count <= 0)
        return false;
    const QByteArray received(FDataBuffer, qMin(Count, COM_BUFFER_SIZE));
    if (!DeviceHandshake::ContainsHangupWord(received))
        return false;
    AddLog(QStringLiteral("Завершение работы по ошибке модема"), QString());
    AddLog(QStringLiteral("Последний полученный пакет:"), QString());
    AddLog(AnsiCodec::toText(received), QString());
    return true;
}

void TMainKestromForm::SendRBCommand() {
    if (!FRB)
        return;
    COMWrite(StringToBuffer("+rb\r"));
    AddLog(QStringLiteral("+rb\r"), AppToCom);
    Delay(200);
}
