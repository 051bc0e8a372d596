// kestrom-soak: the long soak of the wizard's relays; scripts/soak runs it.
//   kestrom-soak [MiB] [--channels cable,lan,modem] [--restarts N] [--cycles N] [--drops N] [--hangups N]
//   [--seed N]
// Ends with "N passed, M failed"; the exit status is 1 when anything failed.
#include "Soak.h"
#include "app/AppStartup.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    AppStartup::ChooseEventLoop(); // the program's own event loop
    QApplication app(argc, argv);
    AppStartup::EndEventLoopChoice();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak of the wizard's relays"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("MiB"),
                                 QStringLiteral("MiB each way per channel (default 256)"));
    const QCommandLineOption channels(QStringLiteral("channels"), QStringLiteral("channels to soak"),
                                      QStringLiteral("list"), QStringLiteral("cable,lan,modem"));
    const QCommandLineOption restarts(QStringLiteral("restarts"), QStringLiteral("setup program restarts"),
                                      QStringLiteral("n"), QStringLiteral("20"));
    const QCommandLineOption cycles(QStringLiteral("cycles"), QStringLiteral("port unplug cycles"),
                                    QStringLiteral("n"), QStringLiteral("100"));
    const QCommandLineOption drops(QStringLiteral("drops"), QStringLiteral("LAN panel drops"),
                                   QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption hangups(QStringLiteral("hangups"), QStringLiteral("modem far-end hang-ups"),
                                     QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("random seed"), QStringLiteral("n"),
                                  QStringLiteral("1"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
                                     QStringLiteral("print checks as they finish"));
    parser.addOptions({channels, restarts, cycles, drops, hangups, seed, verbose});
    parser.process(app);

    SoakOptions o;
    const QStringList args = parser.positionalArguments();
    bool ok = true;
    if (!args.isEmpty())
        o.bulkBytes = qint64(args.first().toDouble(&ok) * 1024 * 1024);
    if (!ok || o.bulkBytes <= 0) {
        std::fprintf(stderr, "kestrom-soak: MiB must be a positive number\n");
        return 2;
    }
    o.channels = parser.value(channels).split(u',', Qt::SkipEmptyParts);
    o.setupRestarts = parser.value(restarts).toInt();
    o.unplugCycles = parser.value(cycles).toInt();
    o.lanDrops = parser.value(drops).toInt();
    o.modemHangups = parser.value(hangups).toInt();
    o.seed = parser.value(seed).toULongLong();
    o.verbose = parser.isSet(verbose);

    const QList<SoakCheck> checks = RunSoak(o);
    int passed = 0, failed = 0;
    for (const SoakCheck& c : checks) {
        std::printf("%s %s: %s\n", c.passed ? "PASS" : "FAIL", qPrintable(c.name), qPrintable(c.detail));
        (c.passed ? passed : failed)++;
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 && passed > 0 ? 0 : 1;
}
