#include "channels/ModemHangUp.h"

#include "channels/COMWait.h"
#include "log/TimeFuncs.h"

namespace {

void Pause(quint32 ticks) {
    COMWait::Sleep(TicksToRealMs(ticks));
}

} // namespace

void HangUpModem(COMHandle port, THangUpKind kind) {
    if (kind == THangUpKind::Escape) {
        Pause(1000);
        for (int i = 0; i < 3; ++i)
            WriteCOMString(port, "+");
        Pause(500);
    } else {
        Pause(250);
    }
    WriteCOMString(port, "ATH\r\n");
    Pause(150);
}
