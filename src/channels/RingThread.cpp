#include "channels/RingThread.h"

#include "channels/ModemHangUp.h"
#include "log/TimeFuncs.h"
#include "platform/AnsiCodec.h"

#include <QCoreApplication>

TRingThread::TRingThread(const TRingThreadCreateStruct& ACreateStruct)
    : FCreateStruct(ACreateStruct), FLogger(this, ACreateStruct.Log) {
    start();
}

TRingThread::~TRingThread() {
    FCreateStruct.TerminateHandler = nullptr;
    if (isRunning()) {
        Terminate();
        WaitFor();
    }
    wait();
    // A port the termination handler never took over is still ours.
    if (!FCOMTaken && FhCOM != INVALID_COM_HANDLE)
        CloseCOMPort(FhCOM);
}

COMHandle TRingThread::TakeCOM() {
    FCOMTaken = true;
    return FhCOM;
}

void TRingThread::Terminate() {
    requestInterruption();
    FWait.Wake();
}

void TRingThread::WaitFor() {
    // From inside the handler the worker is blocked until it returns: never wait there.
    if (FHandlerRunning)
        return;
    if (isFinished() || !isRunning()) {
        wait();
        return;
    }
    // The worker may be blocked in a hand-over to this thread: keep serving them. The
    // guard drops the notification should it arrive after this wait has ended.
    bool done = false;
    QObject guard;
    connect(this, &QThread::finished, &guard, [&done] { done = true; });
    while (!done && !isFinished())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    wait();
}

void TRingThread::run() {
    Execute();
    // The termination step: the handler runs on the GUI thread and the worker waits for it.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!FCreateStruct.TerminateHandler)
                return;
            FHandlerRunning = true;
            const auto handler = FCreateStruct.TerminateHandler;
            handler(this);
            FHandlerRunning = false;
        },
        Qt::BlockingQueuedConnection);
}

void TRingThread::PostStage(int stage) {
    if (FCreateStruct.Owner)
        QCoreApplication::postEvent(FCreateStruct.Owner, new TModemStatusEvent(stage));
}

void TRingThread::ThreadLog(const QString& text, const QString& tag) {
    FLogger.ThreadLog(text, tag);
}

void TRingThread::Sleep(quint32 ticks) {
    const quint32 start = GetTickCount();
    for (;;) {
        if (Terminated())
            return;
        const quint32 elapsed = GetTickCount() - start;
        if (elapsed >= ticks)
            return;
        FWait.Pause(qMax(1, TicksToRealMs(ticks - elapsed)));
    }
}

void TRingThread::WaitForInput(int realMs) {
    if (!FWait.WaitForInput(FPortDead ? INVALID_COM_HANDLE : FhCOM, qMax(1, realMs)))
        FPortDead = true; // from now on only a stop request wakes the waits
}

void TRingThread::SendCommand(const QByteArray& command) {
    WriteCOMString(FhCOM, command + "\r\n");
    ThreadLog(AnsiCodec::toText(command), QStringLiteral("<<"));
}

bool TRingThread::WaitOK(quint32 limit) {
    return WaitAnswer("OK", limit);
}

bool TRingThread::WaitAnswer(const QByteArray& answer, quint32 limit) {
    return WaitAnyAnswer(TStringArray{answer}, limit);
}

bool TRingThread::WaitAnyAnswer(const TStringArray& answers, quint32 limit) {
    const quint32 start = GetTickCount();
    QByteArray collected;
    while (!Terminated()) {
        const quint32 elapsed = GetTickCount() - start;
        if (elapsed >= limit)
            break;
        collected += ReadCOMString(FhCOM);
        if (IsModemError(collected)) {
            ThreadLog(AnsiCodec::toText(collected), QStringLiteral(">>"));
            return false;
        }
        if (ContainsModemAnswer(collected, answers)) {
            ThreadLog(AnsiCodec::toText(collected), QStringLiteral(">>"));
            return !Terminated();
        }
        // Sleep on the port until the modem says something, the time is up or we are told
        // to stop. A port that hung up cannot wake us: then look again every 50 ms.
        quint32 left = limit - (GetTickCount() - start);
        if (qint32(left) <= 0)
            continue;
        WaitForInput(TicksToRealMs(left));
        if (FPortDead) {
            // The modem went away (a pulled USB modem hangs its port up): no answer can
            // come any more, and waiting out the limit would only delay the message.
            collected += ReadCOMString(FhCOM);
            ThreadLog(AnsiCodec::toText(collected), QStringLiteral(">>"));
            ThreadLog(QStringLiteral("Порт модема потерян"), QString());
            return false;
        }
    }
    ThreadLog(AnsiCodec::toText(collected), QStringLiteral(">>"));
    return false;
}

bool TRingThread::IsModemError(const QByteArray& text) {
    const quint32 code = ModemHangupResult(text);
    if (code == rrConnected)
        return false;
    FErrCode.store(code);
    return true;
}

void TRingThread::EndWith(quint32 code) {
    FErrCode.store(FPortDead ? quint32(rrPortError) : code);
    Terminate();
}

void TRingThread::HangUp() {
    HangUpModem(FhCOM, THangUpKind::Escape);
    FCallUp.store(false);
}

bool TRingThread::OpenModemPort() {
    if (OpenCOMPort(FCreateStruct.COM, FCreateStruct.BaudRate, FhCOM))
        return true;
    FErrCode.store(rrPortError);
    ThreadLog(QStringLiteral("Ошибка открытия порта"), QString());
    Terminate();
    return false;
}

bool TRingThread::ListenToModem() {
    // Whatever the modem says on its own after the port opened.
    QByteArray heard;
    for (int pass = 0; pass < 15; ++pass) {
        heard += ReadCOMString(FhCOM);
        Sleep(1000);
        if (Terminated())
            return false;
    }
    ThreadLog(AnsiCodec::toText(heard), QStringLiteral(">>"));
    return true;
}

void TRingThread::ResetModem() {
    for (int i = 0; i < 2; ++i) {
        SendCommand("ATZ");
        ReadCOMString(FhCOM); // what is still queued is read by the next wait
        Sleep(500);
    }
}

bool TRingThread::ModemAnswers() {
    SendCommand("AT");
    if (WaitOK(5000))
        return true;
    EndWith(rrNoModem);
    return false;
}

bool TRingThread::SelectBearer() {
    SendCommand(FCreateStruct.Proto == 1 ? QByteArray("AT+CBST=71,0,1") : QByteArray("AT+CBST=7,0,1"));
    if (WaitOK(5000))
        return true;
    EndWith(rrNoModem);
    return false;
}

bool TRingThread::RegisterInNetwork() {
    bool registered = false;
    for (int pass = 0; pass < 10 && !registered; ++pass) {
        if (Terminated())
            return false;
        SendCommand("AT+CREG?");
        // 0,1: registered in the home network; 0,5: registered while roaming.
        registered = WaitAnyAnswer({"0,1", "0,5"}, 2000);
        if (FPortDead) {
            // The modem's port hung up: no further query can be answered.
            EndWith(rrPortError);
            return false;
        }
        if (!registered)
            Sleep(2000);
    }
    if (Terminated())
        return false;
    if (!registered)
        EndWith(rrNoNetwork);
    return registered;
}

bool TRingThread::DialNumber() {
    SendCommand("ATD" + AnsiCodec::fromText(FCreateStruct.Phone));
    if (WaitAnswer("CONNECT", 45000))
        return true;
    if (FPortDead) {
        EndWith(rrPortError);
        return false;
    }
    if (FErrCode.load() == rrConnected)
        FErrCode.store(rrNoAnswer);
    SendCommand("ATH");
    Terminate();
    return false;
}

void TRingThread::SettleCall() {
    FCallUp.store(true);
    Sleep(5000);
    // Cancelled meanwhile, or connected while an earlier wait saw a result word (the code
    // is not 0, so the main window treats the call as failed): either way the call must
    // not stay up, billed, behind a closed port.
    if (FErrCode.load() != rrConnected)
        HangUp();
}

void TRingThread::Execute() {
    FErrCode.store(rrConnected);
    if (!OpenModemPort() || Terminated())
        return;
    PostStage(1);
    ThreadLog(QStringLiteral("Порт успешно открыт"), QString());
    if (!ListenToModem())
        return;
    ThreadLog(QStringLiteral("Инициализация модема"), QString());
    ResetModem();
    if (Terminated() || !ModemAnswers() || Terminated() || !SelectBearer())
        return;
    PostStage(2);
    if (!RegisterInNetwork())
        return;
    Sleep(3000);
    if (Terminated())
        return;
    PostStage(3);
    if (!DialNumber())
        return;
    SettleCall();
    Terminate();
}
