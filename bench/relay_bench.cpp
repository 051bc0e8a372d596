// relay-bench: the wizard's cable or LAN relay measured side by side with socat.
//
// Two bridges, each between a TCP port on 127.0.0.1 and a panel simulator (a process of
// its own) that echoes every byte, on a pseudo-terminal (cable) or on a TCP port (--lan):
//   Kestrom: the real main window, offscreen in this process, cable or IP channel, the
//            connect link clicked. setup.ini maps the simulator's key to a "setup
//            program" that never connects, so the measuring client is the local server's
//            only connection, the one the device's bytes go to.
//   socat:   TCP-LISTEN relaying to the simulator's pseudo-terminal or TCP port.
// With --lan the client also measures a third simulator directly, without a bridge: what
// the panel alone can do, so that a panel which limits both bridges shows.
// The measuring client is a second copy of this program (--client), outside both
// bridges, like a real setup program. It holds one connection to each bridge and
// alternates between them phase by phase, so that a burst of load from elsewhere on the
// machine falls on both alike. A bridge's CPU time is read from its process's CPU clock.
//
// Phases: round trips of small packets, an echo of a large stream (every byte checked
// for loss and order), repeated for a few rounds; then both connections idle together.
// This file is the command line; Bench.h says where the rest lives.
#include "Bench.h"
#include "app/AppStartup.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace Bench;

namespace {

// "port:pid" of a bridge, as the bridges' side hands it to the client.
bool parseBridge(const QString& text, Bridge& b) {
    const QStringList parts = text.split(QLatin1Char(':'));
    bool portOk = false;
    bool pidOk = false;
    if (parts.size() == 2) {
        b.port = quint16(parts[0].toUInt(&portOk));
        b.pid = pid_t(parts[1].toInt(&pidOk));
    }
    return portOk && pidOk && b.port != 0 && b.pid > 0;
}

} // namespace

int main(int argc, char* argv[]) {
    // The client needs no windows; the bridges' side runs the wizard's offscreen.
    const bool clientMode =
        std::any_of(argv + 1, argv + argc, [](const char* a) { return !std::strcmp(a, "--client"); });
    if (!clientMode && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!clientMode)
        AppStartup::ChooseEventLoop(); // the wizard's event loop, as the program has it
    std::unique_ptr<QCoreApplication> app(clientMode ? new QCoreApplication(argc, argv)
                                                     : new QApplication(argc, argv));
    AppStartup::EndEventLoopChoice();
    QCoreApplication::setApplicationName(QStringLiteral("relay-bench"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Measures the wizard's cable relay (or with --lan its LAN relay) and socat side by side,\n"
        "between the same TCP client and a panel simulator echoing on a pseudo-terminal (or a TCP\n"
        "port). Exit status 1 only when bytes were lost or reordered or the bench could not run;\n"
        "missed goals are reported, not failed."));
    parser.addHelpOption();
    const QString bridgeOnly = QStringLiteral("port:pid");
    QCommandLineOption kestromBridge(QStringLiteral("kestrom"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption socatBridge(QStringLiteral("socat-bridge"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption panelDirect(QStringLiteral("panel-direct"), QStringLiteral("(internal)"), bridgeOnly);
    QCommandLineOption client(QStringLiteral("client"),
                              QStringLiteral("(internal) Be the measuring client."));
    for (QCommandLineOption* internal : {&kestromBridge, &socatBridge, &panelDirect, &client})
        internal->setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({
        {QStringLiteral("panel-sim"),
         QStringLiteral("The panel simulator (default: panel-sim beside this program)."),
         QStringLiteral("path")},
        {QStringLiteral("socat"), QStringLiteral("socat to compare with (default: socat on PATH)."),
         QStringLiteral("path")},
        {QStringLiteral("rounds"), QStringLiteral("Rounds of round trips and echo, per bridge (default 3)."),
         QStringLiteral("n")},
        {QStringLiteral("round-trips"), QStringLiteral("Measured round trips per round (default 2000)."),
         QStringLiteral("n")},
        {QStringLiteral("packet"), QStringLiteral("Bytes per round trip (default 16)."),
         QStringLiteral("bytes")},
        {QStringLiteral("echo-mib"), QStringLiteral("MiB echoed per round (default 4)."),
         QStringLiteral("n")},
        {QStringLiteral("window"), QStringLiteral("Most KiB on their way during the echo (default 256)."),
         QStringLiteral("KiB")},
        {QStringLiteral("idle"), QStringLiteral("Seconds connected and idle (default 10)."),
         QStringLiteral("s")},
        {QStringLiteral("log-window"),
         QStringLiteral("Show the wizard's traffic log while it relays (a technician watching).")},
        {QStringLiteral("lan"),
         QStringLiteral(
             "The LAN relay: channel \"IP\", the panels (panel-sim --tcp) on TCP ports of 127.0.0.1, "
             "socat relaying TCP to TCP; and the panel measured alone.")},
        {QStringLiteral("socat-nodelay"),
         QStringLiteral(
             "With --lan: socat's sockets with TCP_NODELAY (nodelay on both addresses), as the wizard "
             "sets its own; socat's default leaves Nagle's algorithm on.")},
        {QStringLiteral("pin"),
         QStringLiteral(
             "Each bridge on the last core, the client and the panels on the first (same placement for "
             "both bridges).")},
        {QStringLiteral("sim-panel"),
         QStringLiteral("Panels echo through the simulator's event loop (slower) instead of its poll loop.")},
        {QStringLiteral("slow-line"),
         QStringLiteral(
             "Instead of the comparison: a panel that takes at most <bytes> every <ms> (100/10 is about "
             "10 kB/s), an upload sent at once, the window's longest stall meanwhile."),
         QStringLiteral("bytes/ms")},
        {QStringLiteral("slow-kib"), QStringLiteral("KiB uploaded over the slow line (default 1024)."),
         QStringLiteral("KiB")},
        kestromBridge,
        socatBridge,
        panelDirect,
        client,
    });
    parser.process(*app);

    Options o;
    o.panelSim = parser.isSet(QStringLiteral("panel-sim"))
                     ? parser.value(QStringLiteral("panel-sim"))
                     : QCoreApplication::applicationDirPath() + QStringLiteral("/panel-sim");
    if (parser.isSet(QStringLiteral("socat")))
        o.socat = parser.value(QStringLiteral("socat"));
    o.logWindow = parser.isSet(QStringLiteral("log-window"));
    o.simPanel = parser.isSet(QStringLiteral("sim-panel"));
    o.lan = parser.isSet(QStringLiteral("lan"));
    o.socatNoDelay = parser.isSet(QStringLiteral("socat-nodelay"));
    o.pin = parser.isSet(QStringLiteral("pin"));
    o.slowLine = parser.value(QStringLiteral("slow-line"));
    if (o.lan && !o.slowLine.isEmpty()) {
        std::fprintf(stderr, "relay-bench: --slow-line is a cable session; it does not go with --lan\n");
        return 2;
    }
    const auto number = [&parser](const char* name, int fallback, int least, int most) {
        if (!parser.isSet(QLatin1String(name)))
            return fallback;
        bool ok = false;
        const int value = parser.value(QLatin1String(name)).toInt(&ok);
        if (!ok || value < least || value > most) {
            std::fprintf(stderr, "relay-bench: --%s takes a number from %d to %d\n", name, least, most);
            std::exit(2);
        }
        return value;
    };
    o.rounds = number("rounds", o.rounds, 1, 100);
    o.roundTrips = number("round-trips", o.roundTrips, 1, 1000000);
    o.packet = number("packet", o.packet, 1, 4096);
    o.echoBytes = qsizetype(number("echo-mib", 4, 1, 256)) * MiB;
    o.window = qsizetype(number("window", 256, 1, 1024)) * 1024;
    o.idleSeconds = number("idle", o.idleSeconds, 1, 600);
    o.slowBytes = qsizetype(number("slow-kib", 1024, 1, 65536)) * 1024;

    if (parser.isSet(client)) {
        Bridge k;
        Bridge s;
        k.name = QStringLiteral("Kestrom");
        s.name = QStringLiteral("socat");
        Bridge d;
        d.name = QStringLiteral("panel alone");
        if (!parseBridge(parser.value(kestromBridge), k) ||
            (o.slowLine.isEmpty() && !parseBridge(parser.value(socatBridge), s)) ||
            (o.lan && !parseBridge(parser.value(panelDirect), d))) {
            std::fprintf(stderr, "relay-bench: --client needs --kestrom, --socat-bridge (and with --lan "
                                 "--panel-direct) as port:pid\n");
            return 2;
        }
        return o.slowLine.isEmpty() ? runClient(o, k, s, o.lan ? &d : nullptr) : runSlowClient(o, k);
    }
    return runBridges(o, QCoreApplication::arguments().mid(1));
}
