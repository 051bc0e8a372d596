// The dialer's waits on POSIX: an eventfd that Wake makes readable for good, and poll.
#include "channels/COMWait.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

struct COMWait::Private {
    int wakeFd = -1;
};

COMWait::COMWait() : d(new Private) {
    d->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

COMWait::~COMWait() {
    if (d->wakeFd >= 0)
        ::close(d->wakeFd);
}

void COMWait::Wake() {
    if (d->wakeFd >= 0) {
        const quint64 one = 1;
        const ssize_t ignored = ::write(d->wakeFd, &one, sizeof one);
        (void)ignored;
    }
}

void COMWait::Pause(int realMs) {
    if (d->wakeFd < 0) {
        Sleep(realMs);
        return;
    }
    pollfd p{d->wakeFd, POLLIN, 0};
    ::poll(&p, 1, realMs);
}

bool COMWait::WaitForInput(COMHandle port, int realMs) {
    pollfd p[2] = {{d->wakeFd, POLLIN, 0}, {port, POLLIN, 0}};
    const int r = ::poll(p, 2, realMs);
    return !(r > 0 && (p[1].revents & (POLLHUP | POLLERR | POLLNVAL)));
}

void COMWait::Sleep(int realMs) {
    timespec ts{realMs / 1000, long(realMs % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
