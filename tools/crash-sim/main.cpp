// kestrom-crash-sim ACCESS|ABORT|THROW: installs the wizard's crash handler as the wizard
// does, then crashes that way. Only for the tests of the Windows build under Wine; it is not
// part of the zip.
#include "crash/CrashHandler.h"
#include "crash/CrashReport.h"
#include "crash/CrashSnapshot.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

volatile int* volatile g_nowhere = nullptr;

__attribute__((noinline)) void crashByAccessViolation() {
    *g_nowhere = 1;
    asm volatile("");
}

__attribute__((noinline)) void crashByAbort() {
    std::abort();
}

__attribute__((noinline)) void throwFromSlot() {
    throw std::runtime_error("thrown from a slot");
}

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    if (!CrashHandler::Install({CrashReport::Directory(), QString(), QStringLiteral(KESTROM_VERSION)}))
        return 3;
    CrashSnapshot::SetState(
        QStringLiteral("channel=cable; link=connected; port=COM5; setup program running"));
    CrashSnapshot::SetSecret(QStringLiteral("Qz7w"));
    CrashSnapshot::AddLogLine(QStringLiteral("12:00:00.000 COM<<APP +CHECK_MASTER_CODE=1,\"Qz7w\""));
    std::printf("%s\n", qPrintable(CrashReport::Directory()));
    std::fflush(stdout);
    const QByteArray how = argv[1];
    if (how == "ACCESS")
        crashByAccessViolation();
    else if (how == "ABORT")
        crashByAbort();
    else if (how == "THROW") {
        QTimer::singleShot(0, &app, [] { throwFromSlot(); });
        return app.exec();
    }
    return 4;
}
