// One wizard per user on Windows: a named mutex in the user's session. The system releases
// it when its holder ends, however it ends, so a crashed wizard never keeps the next one out.
#include "app/SingleInstance.h"

#include <windows.h>

struct SingleInstance::Private {
    HANDLE mutex = nullptr;
};

SingleInstance::SingleInstance() : d(new Private) {}

SingleInstance::~SingleInstance() {
    if (d->mutex)
        CloseHandle(d->mutex);
}

bool SingleInstance::Claim() {
    // "Local\": this session's name space, which is this user's.
    d->mutex = CreateMutexW(nullptr, FALSE, L"Local\\TMainKestromForm");
    if (!d->mutex)
        return true; // no mutex can be made: that is not another wizard
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(d->mutex);
        d->mutex = nullptr;
        return false;
    }
    return true;
}
