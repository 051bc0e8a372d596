// The dialer's waits on Win32: a manual-reset event that Wake sets for good, and the port's
// input watch (COMPort_win.h).
#include "channels/COMWait.h"

#include "channels/COMPort_win.h"

struct COMWait::Private {
    HANDLE wake = nullptr;
};

COMWait::COMWait() : d(new Private) {
    d->wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

COMWait::~COMWait() {
    if (d->wake)
        CloseHandle(d->wake);
}

void COMWait::Wake() {
    if (d->wake)
        SetEvent(d->wake);
}

void COMWait::Pause(int realMs) {
    if (!d->wake) {
        Sleep(realMs);
        return;
    }
    WaitForSingleObject(d->wake, DWORD(realMs < 0 ? 0 : realMs));
}

bool COMWait::WaitForInput(COMHandle port, int realMs) {
    HANDLE events[2] = {d->wake, nullptr};
    DWORD count = d->wake ? 1 : 0;
    if (port != INVALID_COM_HANDLE) {
        if (!COMArmInput(port))
            return false;
        events[count++] = COMInputEvent(port);
    }
    const DWORD limit = DWORD(realMs < 0 ? 0 : realMs);
    if (count == 0)
        ::Sleep(limit);
    else
        WaitForMultipleObjects(count, events, FALSE, limit);
    return port == INVALID_COM_HANDLE || !COMPortGone(port);
}

void COMWait::Sleep(int realMs) {
    ::Sleep(DWORD(realMs < 0 ? 0 : realMs));
}
