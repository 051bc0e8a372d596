// The setup program on Linux: a native program as it stands, a Windows one through Wine;
// either dies with the wizard through the parent-death signal.
#include "platform/ProcessStart.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace ProcessStart {

bool RunsWindowsPrograms() {
    return false;
}

QString FindWine() {
    return QStandardPaths::findExecutable(QStringLiteral("wine"));
}

void Prepare(QProcess* process, const Command& command) {
    process->setProgram(command.program);
    process->setArguments(command.arguments);
    // In the child, between fork and exec. The kernel sends SIGKILL to the setup program
    // when the thread that started it (the GUI thread: the wizard itself) ends, however it
    // ends. Exec keeps the signal (the wine script execs Wine's loader, which runs the
    // Windows program in the same process). A wizard that died before this line is seen by
    // the parent having changed; then the program is not started at all.
    const pid_t wizard = ::getpid();
    process->setChildProcessModifier([wizard] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != wizard)
            ::_exit(127);
    });
    if (command.throughWine && !qEnvironmentVariableIsSet("WINEDEBUG")) {
        // The user's own prefix (WINEPREFIX honoured) and everything else of the wizard's
        // environment. Wine's diagnostics are no news to a technician: "fixme:" lines are
        // off, and what Wine's loader says regardless on a first start ("configuration ...
        // has been updated") goes nowhere, with the Windows program's stderr (a console a
        // Windows program does not have). With WINEDEBUG set all of it reaches the terminal.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
        process->setProcessEnvironment(env);
        process->setStandardErrorFile(QProcess::nullDevice());
    }
}

void End(QProcess* process) {
    // SIGKILL, as TerminateProcess. Under Wine this is the Windows program's own process
    // (the wine script execs into it); its console (conhost.exe) and the prefix's services
    // (wineserver, services.exe, winedevice.exe, ...) end by themselves within a second or
    // two once the prefix's last program has gone.
    if (process->state() != QProcess::NotRunning)
        process->kill();
}

} // namespace ProcessStart
