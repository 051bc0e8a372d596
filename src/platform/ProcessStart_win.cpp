// The setup program on Windows: started directly, in a job object of the wizard's that ends
// it when the wizard ends, however the wizard ends (the system closes the job's last handle
// with the process, and the job's kill-on-close ends what is in it).
#include "platform/ProcessStart.h"

#include <QProcess>

#include <windows.h>
// After <windows.h>, which it needs.
#include <tlhelp32.h>

namespace ProcessStart {
namespace {

// The wizard's job, made once and never closed by the wizard itself.
HANDLE WizardJob() {
    static const HANDLE job = [] {
        const HANDLE j = CreateJobObjectW(nullptr, nullptr);
        if (!j)
            return HANDLE(nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(j);
            return HANDLE(nullptr);
        }
        return j;
    }();
    return job;
}

// The threads of a process created suspended go on (there is one).
void ResumeThreads(DWORD pid) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != pid)
            continue;
        if (const HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID)) {
            ResumeThread(thread);
            CloseHandle(thread);
        }
    }
    CloseHandle(snapshot);
}

} // namespace

bool RunsWindowsPrograms() {
    return true;
}

QString FindWine() {
    return {};
}

void Prepare(QProcess* process, const Command& command) {
    process->setProgram(command.program);
    process->setArguments(command.arguments);
    // Created suspended and put into the job before its first instruction, so that nothing
    // it starts itself escapes the job either; then let go.
    process->setCreateProcessArgumentsModifier(
        [](QProcess::CreateProcessArguments* args) { args->flags |= CREATE_SUSPENDED; });
    QObject::connect(process, &QProcess::started, process, [process] {
        const DWORD pid = DWORD(process->processId());
        if (const HANDLE job = WizardJob()) {
            if (const HANDLE h = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, pid)) {
                AssignProcessToJobObject(job, h);
                CloseHandle(h);
            }
        }
        ResumeThreads(pid);
    });
}

void End(QProcess* process) {
    // TerminateProcess.
    if (process->state() != QProcess::NotRunning)
        process->kill();
}

} // namespace ProcessStart
