// The GSM modem dialer: a worker thread that opens the modem's port, runs the AT dialogue
// (initialisation, bearer service, network registration, dialling), reports its progress
// to the main window and ends with a result code and, for a connected call, an open port.
#pragma once

#include "channels/COMUtils.h"
#include "channels/COMWait.h"
#include "channels/ModemResult.h"
#include "log/ThreadLog.h"

#include <QByteArray>
#include <QEvent>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>

// The dial request handed to the thread; the thread keeps its own copy.
struct TRingThreadCreateStruct {
    QString COM; // the modem's serial port
    qint32 BaudRate = 19200;
    QString Phone; // dialled as it stands
    // Receives each formatted line of the dialogue on the GUI thread (the traffic log);
    // the worker waits until it has returned.
    std::function<void(const QString& Line)> Log;
    // Runs on the GUI thread once the dialogue has ended, while the worker waits for it.
    std::function<void(QObject* Sender)> TerminateHandler;
    QObject* Owner = nullptr; // receives the progress posts (TModemStatusEvent)
    qint32 Proto = 0;         // 1: V.110, anything else: V.32
};

// The progress post (the window message WM_USER + 5): wParam is the stage, lParam 0.
class TModemStatusEvent : public QEvent {
  public:
    static constexpr QEvent::Type EventType = QEvent::Type(QEvent::User + 5);
    explicit TModemStatusEvent(int stage) : QEvent(EventType), WParam(stage) {}
    const int WParam;
    const int LParam = 0;
};

class TRingThread : public QThread {
    Q_OBJECT
  public:
    // Copies the request and starts the thread at once. The creator owns the object.
    explicit TRingThread(const TRingThreadCreateStruct& ACreateStruct);
    // Clears the termination handler, closes the port unless the handler took it over,
    // then stops the thread and waits for it (serving its hand-overs meanwhile).
    ~TRingThread() override;

    COMHandle hCOM() const { return FhCOM; }
    quint32 ErrorCode() const { return FErrCode.load(); }
    void SetErrorCode(quint32 code) { FErrCode.store(code); }

    // The termination handler takes the port over; from then on it is the caller's to close.
    COMHandle TakeCOM();

    // Asks the thread to stop: waits end at once (and return false), pending pauses are cut
    // short, the hang-up pauses are kept.
    void Terminate();
    bool Terminated() const { return isInterruptionRequested(); }
    // Waits until the thread has finished while running its hand-overs (log lines and the
    // termination handler). GUI thread only, never from inside the termination handler.
    void WaitFor();
    // The termination handler is running (a connected call's relay runs inside it).
    bool HandlerRunning() const { return FHandlerRunning; }
    // A call was connected and has not been hung up by the thread.
    bool CallUp() const { return FCallUp.load(); }

    // Finds a modem result word in the text (any letter case) and sets its code 4 to 7.
    bool IsModemError(const QByteArray& text);

  protected:
    void run() override;
    void Execute();
    void SendCommand(const QByteArray& command);
    bool WaitAnswer(const QByteArray& answer, quint32 limit);
    bool WaitOK(quint32 limit);
    bool WaitAnyAnswer(const TStringArray& answers, quint32 limit);
    // Hands each line of the text to the log, waiting until it is taken.
    void ThreadLog(const QString& text, const QString& tag);

  private:
    // The steps of the dialogue. Each returns false when Execute is to leave: stopped, or
    // ended with its code.
    bool OpenModemPort();
    bool ListenToModem();
    void ResetModem();
    bool ModemAnswers();
    bool SelectBearer();
    bool RegisterInNetwork();
    bool DialNumber();
    // The call is up: gives it its settling pause, and hangs it up again when it must not
    // be handed over.
    void SettleCall();

    // The dialogue's pauses, in ticks; Terminate ends them early.
    void Sleep(quint32 ticks);
    // Blocks until the port has input, Terminate was called or realMs passed.
    void WaitForInput(int realMs);
    void PostStage(int stage);
    void HangUp();
    void EndWith(quint32 code);

    TRingThreadCreateStruct FCreateStruct;
    TThreadLogger FLogger;
    COMHandle FhCOM = INVALID_COM_HANDLE;
    std::atomic<quint32> FErrCode{0};
    std::atomic<bool> FCallUp{false};
    bool FCOMTaken = false;
    bool FHandlerRunning = false;
    // The port reported a hang-up: it would wake every wait at once.
    bool FPortDead = false;
    // The worker's waits; Terminate wakes them.
    COMWait FWait;
};
