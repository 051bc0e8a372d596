// relay-bench's shared pieces: the options, the goals, the clocks and a bridge as the
// measuring client sees it. The bench is three parts:
//   BenchClient.cpp   the measuring client: round trips, echo, idle, the report;
//   BenchBridges.cpp  the bridges' side: the panels, socat, and the wizard relaying (cable
//                     or LAN) in this process;
//   relay_bench.cpp   the command line.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <sys/types.h>
#include <vector>

namespace Bench {

constexpr qsizetype MiB = 1024 * 1024;
// Unmeasured round trips first in each round: the first packets after a pause pay for
// cold caches and sleeping cores.
constexpr int WarmUpRoundTrips = 50;
// A bridge that passes nothing back for this long has lost the bytes it holds.
constexpr double StallSeconds = 10;
constexpr double RoundTripLimitSeconds = 5;
constexpr double ConnectLimitSeconds = 20;

struct Options {
    QString panelSim;
    QString socat = QStringLiteral("socat");
    int rounds = 3;
    int roundTrips = 2000;
    int packet = 16;
    qsizetype echoBytes = 4 * MiB;
    qsizetype window = 256 * 1024;
    int idleSeconds = 10;
    bool logWindow = false;
    // The panels echo through the simulator's event loop instead of its fast poll loop.
    bool simPanel = false;
    // The LAN channel: the panels listen on TCP ports, the wizard connects to one.
    bool lan = false;
    // LAN: socat's two sockets with TCP_NODELAY, as the wizard sets its own.
    bool socatNoDelay = false;
    // Each bridge alone on the last core, the client and the panels on the first.
    bool pin = false;
    // "bytes/ms": the slow-line session instead of the comparison with socat.
    QString slowLine;
    qsizetype slowBytes = 1 * MiB;
};

// The goals, as ratios to socat in the same run.
constexpr double GoalRoundTrip = 1.0;    // median round trip at most this many times socat's
constexpr double GoalRoundTripP99 = 1.1; // its slowest 1 %: the setup program's time-outs fire there
constexpr double GoalThroughput = 1.0;   // echo throughput at least this many times socat's
constexpr double GoalCpuPerMiB = 1.0;    // relay CPU per MiB at most this many times socat's
constexpr double GoalIdlePercent = 0.5;  // idle connected, % of a core
constexpr double GoalPeakRssMiB = 40;    // the wizard's peak resident set
constexpr double GoalStallMs = 50;       // longest GUI-thread stall during a slow upload
// socat must reach this through the panel, or the panel is what the bench measures.
constexpr double PanelFloorMBs = 35;

// ---- clocks and the kernel's counters (BenchClient.cpp) -----------------------------------

double now();
// CPU time of a process, all its threads.
double processCpuSeconds(pid_t pid);
// How often a process's main thread (the one that relays, in both bridges) went to sleep
// and was woken again: its voluntary context switches.
qint64 mainThreadWakeups(pid_t pid);
// The process's peak resident set (VmHWM), KiB; 0 when it cannot be read.
qint64 peakResidentKiB(pid_t pid);
// The bytes sent to one bridge over the whole run (every byte value, no "+rb\r").
QByteArray sessionStream(qsizetype size);
// "met" or "MISSED".
QString verdict(bool pass);
// The Qt platform the wizard runs on (the client inherits the bridges' environment).
QString platform();

// ---- one bridge as the client sees it ------------------------------------------------------

struct Bridge {
    QString name;
    quint16 port = 0;
    pid_t pid = 0; // the process that relays
    int fd = -1;
    QByteArray stream;
    qsizetype offset = 0; // next byte of the stream to send

    QString setupError;     // the bench could not measure
    QString integrityError; // bytes lost, doubled, altered or reordered
    QString why;            // what the last failed send or receive met

    std::vector<double> roundTripsUs;
    double roundTripCpu = 0;
    std::vector<double> echoRates; // MiB/s, one per round
    double echoCpu = 0;
    qsizetype echoed = 0;
    double idleSeconds = 0;
    double idleCpu = 0;
    qint64 idleWakeups = 0;
    qint64 peakRssKiB = 0;

    Bridge() = default;
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;
    ~Bridge() {
        if (fd >= 0)
            ::close(fd);
    }
    bool healthy() const { return setupError.isEmpty() && integrityError.isEmpty(); }
    double cpu() const { return processCpuSeconds(pid); }

    double percentileUs(double p) const {
        if (roundTripsUs.empty())
            return 0;
        std::vector<double> sorted = roundTripsUs;
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, size_t(p * double(sorted.size() - 1) + 0.5))];
    }
    double throughputMiBs() const { // the middle round: one disturbed round does not decide
        if (echoRates.empty())
            return 0;
        std::vector<double> sorted = echoRates;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    double cpuMsPerMiB() const { return echoed > 0 ? echoCpu * 1000 / (double(echoed) / double(MiB)) : 0; }
    double cpuUsPerRoundTrip() const {
        return roundTripsUs.empty() ? 0 : roundTripCpu * 1e6 / double(roundTripsUs.size());
    }
    double idlePercent() const { return idleSeconds > 0 ? idleCpu / idleSeconds * 100 : 0; }
    double idleWakeupsPerSecond() const { return idleSeconds > 0 ? double(idleWakeups) / idleSeconds : 0; }
};

// ---- placement (--pin) ----------------------------------------------------------------------
// --pin: where each process runs. A bridge whose wakeups cross cores costs more CPU and
// time than one woken on its own core; left to the scheduler, each bridge's process gets
// its own placement for its lifetime, and the two figures then differ by up to 2x for
// reasons that have nothing to do with the bridge.
constexpr int ClientCore = 0;
int bridgeCore();

// Every thread of process pid (0: this one) onto one core.
void pinProcess(pid_t pid, int core);

// ---- the two sides --------------------------------------------------------------------------

// The client's side of the run; its exit status is the bench's. `direct`, when there is
// one, is a panel without a bridge, measured after the two bridges in every phase.
int runClient(const Options& o, Bridge& k, Bridge& s, Bridge* direct);
// The slow-line session's client.
int runSlowClient(const Options& o, Bridge& k);
// Sets up both bridges, starts the client on them and relays for Kestrom until the client
// has finished.
int runBridges(const Options& o, const QStringList& arguments);

} // namespace Bench
