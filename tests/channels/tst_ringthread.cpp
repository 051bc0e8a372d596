// The modem dialer, the real thread against the simulator's modem on a pseudo-terminal.
// The simulator runs on a thread of its own, so it answers at once whatever this thread
// does; the dialer's clock is scaled, so its 15 s listening period, registration passes
// and 45 s dial limit pass in a fraction of a second.
#include "PanelSim.h"
#include "PtyFixture.h"
#include "TestForms.h"
#include "channels/COMUtils.h"
#include "channels/ModemHangUp.h"
#include "channels/RingThread.h"
#include "log/TimeFuncs.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QListWidget>
#include <QMutex>
#include <QPointer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PanelSim::Config)

namespace {

using Config = PanelSim::Config;
using Modem = PanelSim::Config::Modem;

// Waits in the event loop (so the dialer's hand-overs are served) until pred holds.
bool waitUntil(const std::function<bool()>& pred, int ms = 10000) {
    QDeadlineTimer deadline(ms);
    QTimer beat;
    beat.start(5);
    while (!pred()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The simulator on its own thread; every look at it is a call on that thread.
class SimThread {
  public:
    explicit SimThread(const Config& config) {
        m_thread.start();
        m_context.moveToThread(&m_thread);
        call([&] {
            m_sim = new PanelSim(config);
            QObject::connect(m_sim, &PanelSim::dataReceived, m_sim, [this](const QByteArray& bytes) {
                QMutexLocker lock(&m_mutex);
                m_chunks.append({m_clock.elapsed(), bytes});
            });
            m_sim->startPty();
            return 0;
        });
        m_clock.start();
    }
    ~SimThread() {
        call([&] {
            delete m_sim;
            return 0;
        });
        m_thread.quit();
        m_thread.wait();
    }
    template <class F> std::invoke_result_t<F> call(F f) {
        std::invoke_result_t<F> result{};
        QMetaObject::invokeMethod(
            &m_context, [&] { result = f(); }, Qt::BlockingQueuedConnection);
        return result;
    }
    QString portName() {
        return call([&] { return m_sim->portName(); });
    }
    QList<QByteArray> commands() {
        return call([&] { return m_sim->modemCommands(); });
    }
    QByteArray received() {
        return call([&] { return m_sim->received(); });
    }
    bool callUp() {
        return call([&] { return m_sim->callUp(); });
    }
    void unplug() {
        call([&] {
            m_sim->unplug();
            return 0;
        });
    }
    int escapes() {
        return call([&] { return m_sim->escapes(); });
    }
    void send(const QByteArray& bytes) {
        call([&] {
            m_sim->send(bytes);
            return 0;
        });
    }
    // Milliseconds since the start at which the byte string began to arrive; -1 if never.
    qint64 arrivalOf(const QByteArray& needle) {
        QMutexLocker lock(&m_mutex);
        QByteArray all;
        QList<qint64> at;
        for (const auto& c : m_chunks) {
            all += c.second;
            for (qsizetype i = 0; i < c.second.size(); ++i)
                at.append(c.first);
        }
        const qsizetype pos = all.lastIndexOf(needle);
        return pos < 0 ? -1 : at[pos];
    }
    qint64 now() const { return m_clock.elapsed(); }

  private:
    QThread m_thread;
    QObject m_context;
    PanelSim* m_sim = nullptr;
    QMutex m_mutex;
    QList<std::pair<qint64, QByteArray>> m_chunks;
    QElapsedTimer m_clock;
};

// The main window's part: receives the progress posts, runs the termination handler.
class Window : public QObject {
  public:
    QList<int> stages;
    bool done = false;
    bool handlerOnThisThread = false;
    bool workerBlocked = false;
    quint32 code = 0xFFFF;
    COMHandle port = INVALID_COM_HANDLE;
    bool closePort = true; // the handler closes what it took over, as RingThreadDone does
    bool takePort = true;
    std::function<void(COMHandle)> whileConnected;

  protected:
    void customEvent(QEvent* e) override {
        if (e->type() == TModemStatusEvent::EventType)
            stages.append(static_cast<TModemStatusEvent*>(e)->WParam);
    }

  public:
    void handler(QObject* sender) {
        auto* ring = qobject_cast<TRingThread*>(sender);
        handlerOnThisThread = QThread::currentThread() == thread();
        workerBlocked = ring->isRunning() && !ring->isFinished();
        code = ring->ErrorCode();
        if (!takePort) {
            done = true;
            return;
        }
        port = ring->TakeCOM();
        if (code == 0 && whileConnected)
            whileConnected(port);
        if (closePort)
            CloseCOMPort(port);
        done = true;
    }
};

struct Dial {
    QListWidget log;
    Window window;
    std::unique_ptr<TRingThread> ring;

    void start(const QString& port, const QString& phone = QStringLiteral("+79001234567"), int proto = 0) {
        TRingThreadCreateStruct cs;
        cs.COM = port;
        cs.Phone = phone;
        cs.Log = [this](const QString& line) { log.addItem(line); };
        cs.Owner = &window;
        cs.Proto = proto;
        cs.TerminateHandler = [this](QObject* s) { window.handler(s); };
        ring = std::make_unique<TRingThread>(cs);
    }
    bool finish(int ms = 15000) {
        return waitUntil([this] { return window.done && ring->isFinished(); }, ms);
    }
    void cancel() {
        ring->SetErrorCode(rrCancelled);
        ring->Terminate();
        ring->WaitFor();
    }
    // Lines after the time stamp and its colon: "<< ATZ", ">> OK", " Порт успешно открыт".
    QStringList bodies() const {
        QStringList out;
        for (int i = 0; i < log.count(); ++i)
            out << log.item(i)->text().mid(24);
        return out;
    }
    int count(const QString& body) const { return int(bodies().count(body)); }
};

Config modemConfig() {
    Config c;
    c.modem.enabled = true;
    c.modem.guardMs = 10;
    return c;
}

} // namespace

class TestRingThread : public QObject {
    Q_OBJECT
  private slots:
    void init() { SetTickClockForTest(0, 100); }
    void cleanup() { SetTickClockForTest(0, 1); }

    // What the waits take for an answer, and what they take for the modem's echo.
    void answerOutsideTheEcho_data() {
        QTest::addColumn<QByteArray>("collected");
        QTest::addColumn<bool>("registered");
        QTest::newRow("home") << QByteArray("AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n") << true;
        QTest::newRow("roaming, echo off") << QByteArray("\r\n+CREG: 0,5\r\n") << true;
        QTest::newRow("answer not yet terminated") << QByteArray("at+creg?\r\n+creg: 0,1") << true;
        QTest::newRow("searching") << QByteArray("AT+CREG?\r\r\n+CREG: 0,2\r\nOK\r\n") << false;
        QTest::newRow("bearer echo left queued by a slow modem")
            << QByteArray("AT+CBST=7,0,1\r\r\nOK\r\nAT+CREG?\r\r\n+CREG: 0,2\r\n") << false;
        QTest::newRow("V.110 bearer echo, lower case") << QByteArray("at+cbst=71,0,1\r") << false;
        QTest::newRow("bearer echo still unfinished") << QByteArray("\r\nOK\r\nAT+CBST=7,0,1") << false;
    }
    void answerOutsideTheEcho() {
        QFETCH(QByteArray, collected);
        QFETCH(bool, registered);
        QCOMPARE(ContainsModemAnswer(collected, {"0,1", "0,5"}), registered);
        // "OK" and "CONNECT" are found whatever echo precedes them.
        QVERIFY(ContainsModemAnswer(collected + "\r\nOK\r\n", {"OK"}));
        QVERIFY(ContainsModemAnswer(collected + "ATD+79001234567\r\r\nCONNECT 9600\r\n", {"CONNECT"}));
    }

    void portNotOpened_data() {
        QTest::addColumn<bool>("busy");
        QTest::newRow("missing") << false;
        QTest::newRow("busy") << true;
    }
    void portNotOpened() {
        QFETCH(bool, busy);
        SimThread sim(modemConfig());
        COMHandle other = INVALID_COM_HANDLE;
        if (busy)
            QVERIFY(OpenCOMPort(sim.portName(), 19200, other));
        Dial d;
        d.start(busy ? sim.portName() : sim.portName() + ".none");
        QVERIFY(d.finish());
        QCOMPARE(d.window.code, quint32(rrPortError));
        QCOMPARE(d.window.port, INVALID_COM_HANDLE);
        QCOMPARE(d.bodies(), QStringList{" Ошибка открытия порта"});
        QCoreApplication::processEvents();
        QVERIFY(d.window.stages.isEmpty());
        QVERIFY(sim.received().isEmpty());
        CloseCOMPort(other);
    }

    // Each way the dialogue can end, with its code, progress and the commands the modem saw.
    void dialogue_data() {
        QTest::addColumn<Config>("config");
        QTest::addColumn<int>("proto");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<QList<int>>("stages");
        QTest::addColumn<QList<QByteArray>>("tail"); // the modem's last commands
        QTest::addColumn<int>("cregs");

        const QList<QByteArray> init = {"ATZ", "ATZ", "AT"};
        const QByteArray dial = "ATD+79001234567";
        Config c = modemConfig();
        Config silent = c;
        silent.silent = true;
        QTest::newRow("silent modem") << silent << 0 << quint32(rrNoModem) << QList<int>{1} << init << 0;
        Config cbst = c;
        cbst.modem.cbstError = true;
        cbst.modem.answerReset = false; // no stale "OK" of ATZ that the bearer wait could take
        QTest::newRow("CBST answered ERROR") << cbst << 0 << quint32(rrNoModem) << QList<int>{1}
                                             << QList<QByteArray>{"AT", "AT+CBST=7,0,1"} << 0;
        Config none = c;
        none.modem.registration = Modem::Registration::None;
        QTest::newRow("not registered")
            << none << 0 << quint32(rrNoNetwork) << QList<int>{1, 2} << QList<QByteArray>{"AT+CREG?"} << 10;
        Config searching = c;
        searching.modem.registration = Modem::Registration::Searching;
        QTest::newRow("searching for ever") << searching << 0 << quint32(rrNoNetwork) << QList<int>{1, 2}
                                            << QList<QByteArray>{"AT+CREG?"} << 10;
        Config roaming = c;
        roaming.modem.registration = Modem::Registration::Roaming;
        roaming.modem.searchingQueries = 3;
        QTest::newRow("roaming after three searching answers, V.110")
            << roaming << 1 << quint32(rrConnected) << QList<int>{1, 2, 3}
            << QList<QByteArray>{"AT+CBST=71,0,1", "AT+CREG?", "AT+CREG?", "AT+CREG?", "AT+CREG?", dial} << 4;
        const struct {
            const char* name;
            Modem::DialResult result;
            QByteArray answer;
            quint32 code;
        } results[] = {
            {"BUSY", Modem::DialResult::Busy, {}, rrBusy},
            {"no carrier", Modem::DialResult::NoCarrier, "no carrier", rrNoCarrier},
            {"No Dialtone", Modem::DialResult::NoDialtone, "No Dialtone", rrNoDialtone},
            {"NO ANSWER", Modem::DialResult::NoAnswer, {}, rrNoAnswer},
            {"no answer within the limit", Modem::DialResult::Silence, {}, rrNoAnswer},
        };
        for (const auto& r : results) {
            Config d = c;
            d.modem.dial = r.result;
            d.modem.dialAnswer = r.answer;
            QTest::newRow(r.name) << d << 0 << r.code << QList<int>{1, 2, 3} << QList<QByteArray>{dial, "ATH"}
                                  << 1;
        }
    }
    void dialogue() {
        QFETCH(Config, config);
        QFETCH(int, proto);
        QFETCH(quint32, code);
        QFETCH(QList<int>, stages);
        QFETCH(QList<QByteArray>, tail);
        QFETCH(int, cregs);
        SimThread sim(config);
        Dial d;
        bool portOpenInHandler = false;
        d.window.whileConnected = [&](COMHandle h) { portOpenInHandler = ::fcntl(h, F_GETFD) >= 0; };
        d.start(sim.portName(), QStringLiteral("+79001234567"), proto);
        QVERIFY(d.finish());
        QCOMPARE(d.window.code, code);
        QVERIFY(d.window.handlerOnThisThread);
        QVERIFY(d.window.workerBlocked);
        QVERIFY(waitUntil([&] { return d.window.stages.size() >= stages.size(); }, 1000));
        QCOMPARE(d.window.stages, stages);
        // The simulator may still be reading the last command.
        QList<QByteArray> commands;
        const bool tailSeen = waitUntil(
            [&] {
                commands = sim.commands();
                return commands.size() >= tail.size() && commands.mid(commands.size() - tail.size()) == tail;
            },
            2000);
        QVERIFY2(tailSeen, qPrintable(commands.join(' ')));
        QCOMPARE(commands.mid(0, 3), (QList<QByteArray>{"ATZ", "ATZ", "AT"}));
        QCOMPARE(int(commands.count("AT+CREG?")), cregs);
        if (code == rrConnected)
            QVERIFY(portOpenInHandler);
        // The dialogue in the log: what was sent ("<<") and what came back (">>").
        const QStringList b = d.bodies();
        QCOMPARE(b.mid(0, 2), (QStringList{" Порт успешно открыт", ">> "}));
        QCOMPARE(b.mid(2, 4), (QStringList{" Инициализация модема", "<< ATZ", "<< ATZ", "<< AT"}));
        for (const QByteArray& c : commands)
            QVERIFY2(b.contains("<< " + QString::fromLatin1(c)), qPrintable(c));
    }

    // A USB modem pulled while it dials or registers: the dialogue ends at once with the
    // port's error, not as a number that did not answer after the dial's limit, nor after
    // every remaining registration query has waited out its time on a dead port.
    void modemVanishes_data() {
        QTest::addColumn<Config>("config");
        QTest::addColumn<QByteArray>("pullAfter"); // the command the modem has seen
        Config dialling = modemConfig();
        dialling.modem.dial = Modem::DialResult::Silence;
        QTest::newRow("while dialling") << dialling << QByteArray("ATD+79001234567");
        Config registering = modemConfig();
        registering.modem.registration = Modem::Registration::Searching;
        QTest::newRow("while registering") << registering << QByteArray("AT+CREG?");
    }
    void modemVanishes() {
        QFETCH(Config, config);
        QFETCH(QByteArray, pullAfter);
        SimThread sim(config);
        Dial d;
        d.start(sim.portName());
        QVERIFY(waitUntil([&] { return sim.commands().contains(pullAfter); }));
        sim.unplug();
        const int seen = int(sim.commands().count(pullAfter));
        QVERIFY(d.finish());
        QCOMPARE(d.window.code, quint32(rrPortError));
        QCOMPARE(ModemErrorText(d.window.code), QStringLiteral("Не могу открыть COM-порт"));
        const QStringList b = d.bodies();
        QCOMPARE(b.count(" Порт модема потерян"), 1);
        QCOMPARE(b.last(), QStringLiteral(" Порт модема потерян"));
        // At most the one command that went to the port as it was pulled.
        const int sent = int(b.count("<< " + QString::fromLatin1(pullAfter)));
        QVERIFY2(sent <= seen + 1, qPrintable(QStringLiteral("%1 sent, %2 seen").arg(sent).arg(seen)));
    }

    // The call comes up: the port stays open for the handler, and a whole session runs
    // through the call while the worker waits for the handler.
    void connectedCallCarriesTheSession() {
        SimThread sim(modemConfig());
        Dial d;
        QByteArray version;
        QByteArray echoed;
        d.window.whileConnected = [&](COMHandle h) {
            WriteCOMString(h, "+VER_INFO=?\r\n");
            waitUntil([&] {
                version += ReadCOMString(h);
                return version.contains("OK\r\n");
            });
            WriteCOMData(h, AllByteValues().constData(), 256);
            QByteArray buffer(COM_BUFFER_SIZE, Qt::Uninitialized);
            waitUntil([&] {
                const int n = ReadCOMData(h, buffer.data());
                if (n > 0)
                    echoed += buffer.left(n);
                return echoed.size() >= 256;
            });
        };
        d.start(sim.portName());
        QVERIFY(d.finish());
        QCOMPARE(d.window.code, quint32(rrConnected));
        QCOMPARE(d.window.stages.last(), 3);
        QVERIFY2(version.contains("+VER_INFO=1,\"SIMPANEL.01.00\""), version.constData());
        QCOMPARE(echoed, AllByteValues());
        QVERIFY(sim.received().endsWith(AllByteValues()));
        QVERIFY(d.bodies().filter(QRegularExpression("^>> .*CONNECT 9600")).size() == 1);
    }

    // Cancelled in the 5 s after CONNECT, or connected after a result word set a failure
    // code: either way the thread hangs the call up before it ends.
    void callHungUpAfterConnect_data() {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("cancel after CONNECT") << true;
        QTest::newRow("NO CARRIER seen during registration") << false;
    }
    void callHungUpAfterConnect() {
        QFETCH(bool, cancel);
        Config c = modemConfig();
        c.modem.searchingQueries = 2; // registration takes a few passes: room for a word
        SimThread sim(c);
        Dial d;
        SetTickClockForTest(0, 20); // 1000 ms is 50 ms here, 500 ms is 25 ms
        d.start(sim.portName());
        qint64 cancelled = 0;
        if (cancel) {
            QVERIFY(waitUntil([&] { return d.ring->CallUp(); }));
            cancelled = sim.now();
            d.cancel();
        } else {
            QVERIFY(waitUntil([&] { return d.window.stages.contains(2); }));
            sim.send("\r\nNO CARRIER\r\n");
        }
        QVERIFY(d.finish(20000));
        QCOMPARE(d.window.code, quint32(cancel ? rrCancelled : rrNoCarrier));
        QVERIFY2(waitUntil([&] { return sim.received().endsWith("+++ATH\r\n"); }, 2000),
                 qPrintable(d.bodies().join('\n')));
        QCOMPARE(sim.escapes(), 1);
        QVERIFY(!sim.callUp());
        const qint64 plus = sim.arrivalOf("+++");
        const qint64 ath = sim.arrivalOf("ATH\r\n");
        QVERIFY2(ath - plus >= 22, qPrintable(QString::number(ath - plus)));
        if (cancel)
            QVERIFY2(plus - cancelled >= 45, qPrintable(QString::number(plus - cancelled)));
        // The hang-up writes are not logged.
        QVERIFY(!d.bodies().contains("<< ATH"));
    }

    // The port is closed exactly once: by the handler that took it over, else by the
    // destructor.
    void portClosedOnce_data() {
        QTest::addColumn<bool>("handlerTakesPort");
        QTest::newRow("handler takes the port") << true;
        QTest::newRow("nobody took it") << false;
    }
    void portClosedOnce() {
        QFETCH(bool, handlerTakesPort);
        Config c = modemConfig();
        c.modem.cbstError = true; // code 2: the port is open when the thread ends
        c.modem.answerReset = false;
        SimThread sim(c);
        Dial d;
        d.window.takePort = handlerTakesPort;
        d.start(sim.portName());
        QVERIFY(d.finish());
        QCOMPARE(d.window.code, quint32(rrNoModem));
        const COMHandle threadPort = d.ring->hCOM();
        QVERIFY(threadPort != INVALID_COM_HANDLE);
        int reused = -1;
        if (handlerTakesPort) {
            // The handler closed it, so the number is free: something else gets it now.
            QVERIFY(::fcntl(threadPort, F_GETFD) < 0);
            const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            reused = ::dup2(null, threadPort);
            ::close(null);
            QCOMPARE(reused, threadPort);
        }
        d.ring.reset();
        if (handlerTakesPort) {
            QVERIFY2(::fcntl(reused, F_GETFD) >= 0, "the destructor closed a descriptor it no longer owned");
            ::close(reused);
        }
        // Either way the port is free again.
        COMHandle again = INVALID_COM_HANDLE;
        QVERIFY(OpenCOMPort(sim.portName(), 19200, again));
        CloseCOMPort(again);
    }

    // The one hang-up routine of the dialer, the form's cancel and the relay's hang-up
    // check: its bytes, and its pauses on the scaled clock (100 ticks a millisecond here).
    void hangUpSequence_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<quint32>("ticks");
        QTest::newRow("call up: +++ then ATH")
            << int(THangUpKind::Escape) << QByteArray("+++ATH\r\n") << 1650u;
        QTest::newRow("call dropped: ATH only")
            << int(THangUpKind::CommandOnly) << QByteArray("ATH\r\n") << 400u;
    }
    void hangUpSequence() {
        QFETCH(int, kind);
        QFETCH(QByteArray, sent);
        QFETCH(quint32, ticks);
        PtyFixture pty;
        QVERIFY(pty.isValid());
        COMHandle port = INVALID_COM_HANDLE;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port));
        QElapsedTimer real;
        real.start();
        const quint32 start = GetTickCount();
        HangUpModem(port, THangUpKind(kind));
        const quint32 tookTicks = GetTickCount() - start;
        const qint64 tookMs = real.elapsed();
        CloseCOMPort(port);
        QCOMPARE(pty.read(sent.size()), sent);
        // The pauses are all there on the tick clock (within one millisecond's reading)...
        QVERIFY2(tookTicks + 100 >= ticks, qPrintable(QString::number(tookTicks)));
        // ...and pass in a fraction of their length in real time.
        QVERIFY2(tookMs < ticks / 2, qPrintable(QString::number(tookMs)));
    }
};

QTEST_MAIN(TestRingThread)
#include "tst_ringthread.moc"
