// The blocking waits of a worker thread that talks to a serial port (the modem dialer): a
// pause that a stop request cuts short, and a wait for the port to have input. Wake() may be
// called from any thread; from then on every wait returns at once.
//
// One implementation per platform: COMWait_posix.cpp (an eventfd and poll on the
// descriptor), COMWait_win.cpp (an event, and the port's input watch).
#pragma once

#include "channels/COMUtils.h"

#include <memory>

class COMWait {
  public:
    COMWait();
    ~COMWait();
    COMWait(const COMWait&) = delete;
    COMWait& operator=(const COMWait&) = delete;

    // Ends the wait under way and every later one at once.
    void Wake();
    // Blocks until realMs have passed or Wake was called.
    void Pause(int realMs);
    // Blocks until the port has input, Wake was called or realMs have passed. False when
    // the port has hung up: it can wake nobody any more, so the caller waits on Wake alone
    // from then on by passing INVALID_COM_HANDLE.
    bool WaitForInput(COMHandle port, int realMs);

    // A pause nothing cuts short (the modem's guard times around a hang-up).
    static void Sleep(int realMs);

  private:
    struct Private;
    std::unique_ptr<Private> d;
};
