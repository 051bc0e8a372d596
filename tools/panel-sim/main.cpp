// panel-sim: a simulated alarm panel on a pseudo-terminal or a TCP port, for trying
// the wizard without hardware. Prints the port to open on stdout and runs until killed.
#include "PanelSim.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int sig) {
    const char c = static_cast<char>(sig);
    const ssize_t ignored = ::write(signalPipe[1], &c, 1);
    (void)ignored;
}

QString printable(const QByteArray& bytes) {
    QString out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r')
            out += QStringLiteral("\\r");
        else if (c == '\n')
            out += QStringLiteral("\\n");
        else if (c < 0x20 || c >= 0x7f)
            out += QStringLiteral("\\x%1").arg(c, 2, 16, QLatin1Char('0'));
        else
            out += QLatin1Char(static_cast<char>(c));
    }
    return out;
}

int intOption(const QCommandLineParser& parser, const QString& name, int fallback, bool& ok) {
    if (!parser.isSet(name))
        return fallback;
    bool good = false;
    const int value = parser.value(name).toInt(&good);
    if (!good || value < 0) {
        std::fprintf(stderr, "panel-sim: --%s needs a non-negative number\n", qPrintable(name));
        ok = false;
    }
    return value;
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("panel-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated alarm panel. Prints the port to open (and, for a pseudo-terminal, its /dev/pts path)\n"
        "on stdout, logs the traffic on stderr and runs until killed.\n"
        "kill -USR1 <pid> pulls the simulated adapter out, a second USR1 plugs it back in.\n"
        "With --tcp: kill -USR1 <pid> drops the client (FIN) and stops listening, so connects are\n"
        "refused; a second USR1 listens again. kill -USR2 <pid> resets the client (RST) and keeps\n"
        "listening.\n"
        "With --modem: kill -USR2 <pid> makes the far end hang up the call."));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("pty"),
         QStringLiteral("Serve on a pseudo-terminal named by the symlink <path> (default: a temporary one)."),
         QStringLiteral("path")},
        {QStringLiteral("tcp"), QStringLiteral("Serve on 127.0.0.1:<port> instead (0: any free port)."),
         QStringLiteral("port")},
        {QStringLiteral("code"), QStringLiteral("Master code the panel accepts (default 1234)."),
         QStringLiteral("code")},
        {QStringLiteral("wrong-code-silent"),
         QStringLiteral("Say nothing to a wrong master code (default: ERROR).")},
        {QStringLiteral("version"), QStringLiteral("Version text, e.g. ABC.02.07 (default SIMPANEL.01.00)."),
         QStringLiteral("text")},
        {QStringLiteral("answer"),
         QStringLiteral("Version answer as sent, with escapes (\\r \\n \\xHH), instead of the one built from "
                        "--version; the standard dialogue adds OK\\r\\n."),
         QStringLiteral("text")},
        {QStringLiteral("old"), QStringLiteral("Speak the old-style dialogue (+id=, +v).")},
        {QStringLiteral("echo-commands"), QStringLiteral("Echo each dialogue command before answering.")},
        {QStringLiteral("split"), QStringLiteral("Send each answer in <n> writes."), QStringLiteral("n")},
        {QStringLiteral("split-pause"),
         QStringLiteral("Pause between the writes of a split answer (default 50)."), QStringLiteral("ms")},
        {QStringLiteral("delay"), QStringLiteral("Answer <ms> late."), QStringLiteral("ms")},
        {QStringLiteral("silent"), QStringLiteral("Never send anything.")},
        {QStringLiteral("script"),
         QStringLiteral(
             "After the dialogue answer requests from <file> (lines: \"request\" => \"response\", or hex "
             "bytes) instead of echoing."),
         QStringLiteral("file")},
        {QStringLiteral("no-echo"),
         QStringLiteral("After the dialogue stay quiet instead of echoing every byte.")},
        {QStringLiteral("drain"),
         QStringLiteral("A slow line: after the dialogue take at most <bytes> from the line every <ms> "
                        "(100/10 is about 10 kB/s, 2/1 about 19200 baud)."),
         QStringLiteral("bytes/ms")},
        {QStringLiteral("fast"),
         QStringLiteral(
             "After the dialogue echo from a tight poll loop, up to 64 KiB a read (a panel that is "
             "never the bottleneck of a relay); on a pseudo-terminal or, with --tcp, on the "
             "client's connection.")},
        {QStringLiteral("stream"),
         QStringLiteral("With --tcp: send data without end from the moment a client connects.")},
        {QStringLiteral("quiet"), QStringLiteral("Do not log the traffic on stderr.")},
        {QStringLiteral("modem"),
         QStringLiteral(
             "Put a GSM modem in front of the panel (pseudo-terminal only): AT commands until a dial "
             "connects, then the panel behind the call. kill -USR2 <pid>: the far end hangs up.")},
        {QStringLiteral("creg"),
         QStringLiteral("Modem: network registration home, roaming, none or searching (default home)."),
         QStringLiteral("state")},
        {QStringLiteral("searching"),
         QStringLiteral("Modem: answer \"searching\" to the first <n> registration queries."),
         QStringLiteral("n")},
        {QStringLiteral("cbst-error"), QStringLiteral("Modem: answer ERROR to the bearer command AT+CBST.")},
        {QStringLiteral("dial"),
         QStringLiteral(
             "Modem: the dial's result connect, busy, no-carrier, no-dialtone, no-answer or silence "
             "(default connect)."),
         QStringLiteral("result")},
        {QStringLiteral("dial-delay"), QStringLiteral("Modem: the network answers the dial <ms> late."),
         QStringLiteral("ms")},
        {QStringLiteral("guard"),
         QStringLiteral("Modem: silence needed before and after \"+++\" (default 300)."),
         QStringLiteral("ms")},
        {QStringLiteral("hangup-after"),
         QStringLiteral("Modem: the far end hangs up <ms> after the call connected."), QStringLiteral("ms")},
        {QStringLiteral("no-modem-echo"), QStringLiteral("Modem: do not echo the AT commands (ATE0).")},
        {QStringLiteral("quiet-reset"), QStringLiteral("Modem: say nothing to ATZ.")},
    });
    parser.process(app);

    PanelSim::Config config;
    bool ok = true;
    if (parser.isSet(QStringLiteral("code")))
        config.masterCode = parser.value(QStringLiteral("code")).toLocal8Bit();
    config.silentOnWrongCode = parser.isSet(QStringLiteral("wrong-code-silent"));
    if (parser.isSet(QStringLiteral("old")))
        config.dialect = PanelSim::Dialect::OldStyle;
    if (parser.isSet(QStringLiteral("version"))) {
        const QByteArray text = parser.value(QStringLiteral("version")).toLocal8Bit();
        config.versionAnswer = "+VER_INFO=1,\"" + text + "\",\"2024\"\r\n";
        config.oldVersionAnswer = "\r\n" + text + "\r\nOK\r";
    }
    if (parser.isSet(QStringLiteral("answer"))) {
        const QByteArray answer =
            PanelSim::unescape(parser.value(QStringLiteral("answer")).toLocal8Bit(), &ok);
        config.versionAnswer = answer;
        config.oldVersionAnswer = answer;
        if (!ok)
            std::fprintf(stderr, "panel-sim: broken \\x escape in --answer\n");
    }
    config.echoCommands = parser.isSet(QStringLiteral("echo-commands"));
    config.splitParts = std::max(1, intOption(parser, QStringLiteral("split"), 1, ok));
    config.splitPauseMs = intOption(parser, QStringLiteral("split-pause"), 50, ok);
    config.delayMs = intOption(parser, QStringLiteral("delay"), 0, ok);
    config.silent = parser.isSet(QStringLiteral("silent"));
    config.echoDeviceData = !parser.isSet(QStringLiteral("no-echo"));
    config.streamOnConnect = parser.isSet(QStringLiteral("stream"));
    if (config.streamOnConnect && !parser.isSet(QStringLiteral("tcp"))) {
        std::fprintf(stderr, "panel-sim: --stream needs --tcp\n");
        return 2;
    }
    if (parser.isSet(QStringLiteral("script"))) {
        QFile file(parser.value(QStringLiteral("script")));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "panel-sim: cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        QString error;
        config.script = PanelSim::parseScript(file.readAll(), &error);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "panel-sim: %s: %s\n", qPrintable(file.fileName()), qPrintable(error));
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("drain"))) {
        const QStringList parts = parser.value(QStringLiteral("drain")).split(u'/');
        bool bytesOk = false;
        bool msOk = parts.size() == 1;
        config.drainBytes = parts.value(0).toInt(&bytesOk);
        config.drainPeriodMs = parts.size() > 1 ? parts[1].toInt(&msOk) : 1;
        if (!bytesOk || !msOk || parts.size() > 2 || config.drainBytes < 1 || config.drainPeriodMs < 1) {
            std::fprintf(stderr, "panel-sim: --drain needs <bytes>/<ms>, e.g. 100/10\n");
            ok = false;
        }
    }
    config.fastEcho = parser.isSet(QStringLiteral("fast"));
    const bool modem = parser.isSet(QStringLiteral("modem"));
    if (modem) {
        using M = PanelSim::Config::Modem;
        if (parser.isSet(QStringLiteral("tcp"))) {
            std::fprintf(stderr, "panel-sim: --modem needs a pseudo-terminal\n");
            return 2;
        }
        config.modem.enabled = true;
        const QString creg = parser.value(QStringLiteral("creg"));
        if (creg == QLatin1String("roaming"))
            config.modem.registration = M::Registration::Roaming;
        else if (creg == QLatin1String("none"))
            config.modem.registration = M::Registration::None;
        else if (creg == QLatin1String("searching"))
            config.modem.registration = M::Registration::Searching;
        else if (!creg.isEmpty() && creg != QLatin1String("home")) {
            std::fprintf(stderr, "panel-sim: --creg takes home, roaming, none or searching\n");
            ok = false;
        }
        const QString dial = parser.value(QStringLiteral("dial"));
        const QList<std::pair<QString, M::DialResult>> dials = {
            {QStringLiteral("connect"), M::DialResult::Connect},
            {QStringLiteral("busy"), M::DialResult::Busy},
            {QStringLiteral("no-carrier"), M::DialResult::NoCarrier},
            {QStringLiteral("no-dialtone"), M::DialResult::NoDialtone},
            {QStringLiteral("no-answer"), M::DialResult::NoAnswer},
            {QStringLiteral("silence"), M::DialResult::Silence}};
        bool known = dial.isEmpty();
        for (const auto& d : dials) {
            if (d.first == dial) {
                config.modem.dial = d.second;
                known = true;
            }
        }
        if (!known) {
            std::fprintf(stderr, "panel-sim: --dial takes connect, busy, no-carrier, no-dialtone, no-answer "
                                 "or silence\n");
            ok = false;
        }
        config.modem.searchingQueries = intOption(parser, QStringLiteral("searching"), 0, ok);
        config.modem.cbstError = parser.isSet(QStringLiteral("cbst-error"));
        config.modem.dialDelayMs = intOption(parser, QStringLiteral("dial-delay"), 0, ok);
        config.modem.guardMs = intOption(parser, QStringLiteral("guard"), 300, ok);
        config.modem.hangupAfterMs = intOption(parser, QStringLiteral("hangup-after"), 0, ok);
        config.modem.echo = !parser.isSet(QStringLiteral("no-modem-echo"));
        config.modem.answerReset = !parser.isSet(QStringLiteral("quiet-reset"));
    }
    const int tcpPort = intOption(parser, QStringLiteral("tcp"), -1, ok);
    if (!ok || tcpPort > 65535)
        return 2;

    // Signals arrive through a pipe so that the handlers run in the event loop: the
    // simulator removes its symlink on the way out, and USR1 can pull the adapter.
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    config.stopDescriptor = signalPipe[0];
    PanelSim sim(config);
    const bool started = parser.isSet(QStringLiteral("tcp"))
                             ? sim.startTcp(static_cast<quint16>(tcpPort))
                             : sim.startPty(parser.value(QStringLiteral("pty")));
    if (!started) {
        std::fprintf(stderr, "panel-sim: %s\n", qPrintable(sim.errorString()));
        return 1;
    }

    QTextStream out(stdout);
    out << sim.portName() << '\n';
    if (!sim.devicePath().isEmpty())
        out << sim.devicePath() << '\n';
    out.flush();

    if (!parser.isSet(QStringLiteral("quiet"))) {
        QObject::connect(&sim, &PanelSim::commandReceived, [](const QByteArray& command) {
            std::fprintf(stderr, "command: %s\n", qPrintable(printable(command)));
        });
        QObject::connect(&sim, &PanelSim::deviceDataReceived, [](const QByteArray& bytes) {
            std::fprintf(stderr, "data (%lld bytes): %s\n", static_cast<long long>(bytes.size()),
                         qPrintable(printable(bytes.left(64))));
        });
        QObject::connect(&sim, &PanelSim::escaped, [] { std::fprintf(stderr, "escape: +++\n"); });
        QObject::connect(&sim, &PanelSim::clientConnected,
                         [] { std::fprintf(stderr, "client connected\n"); });
    }

    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    const bool onPty = !parser.isSet(QStringLiteral("tcp"));
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, [&sim, onPty] {
        char sig = 0;
        while (::read(signalPipe[0], &sig, 1) == 1) {
            if (sig == SIGUSR2) {
                if (sim.config().modem.enabled) {
                    if (sim.callUp()) {
                        sim.farEndHangup();
                        std::fprintf(stderr, "far end hung up: NO CARRIER\n");
                    }
                } else if (!onPty && sim.hasClient()) {
                    sim.dropClient(true);
                    std::fprintf(stderr, "client reset (RST)\n");
                }
            } else if (sig == SIGUSR1) {
                if (!onPty) {
                    if (sim.isListening()) {
                        sim.stopListening();
                        std::fprintf(stderr, "client dropped, not listening: connects are refused\n");
                    } else if (sim.listenAgain()) {
                        std::fprintf(stderr, "listening again on %s\n", qPrintable(sim.portName()));
                    } else {
                        std::fprintf(stderr, "cannot listen again: %s\n", qPrintable(sim.errorString()));
                    }
                    continue;
                }
                if (sim.isPlugged()) {
                    sim.unplug();
                    std::fprintf(stderr, "adapter pulled out\n");
                } else if (sim.replug()) {
                    std::fprintf(stderr, "adapter plugged in: %s\n", qPrintable(sim.devicePath()));
                }
            } else {
                QCoreApplication::quit();
            }
        }
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
    sigaction(SIGUSR2, &action, nullptr);

    return QCoreApplication::exec();
}
