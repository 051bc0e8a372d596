// Hanging up a GSM modem's data call through its port. The pauses follow the tick clock
// (TimeFuncs) and block the calling thread; nothing cuts them short.
#pragma once

#include "channels/COMUtils.h"

enum class THangUpKind {
    // The call is up and the modem in its data mode: it takes "+++" for its command mode
    // only after a second of silence before and half a second after; then "ATH".
    Escape,
    // The modem has already reported the call's end and is back in its command mode:
    // a quarter of a second for it to finish the report, then "ATH".
    CommandOnly,
};

// Writes the hang-up sequence of the kind to the port, with its pauses, and waits 150 ms
// for the modem to take "ATH" before the caller closes the port. The writes are not
// examined: a modem that has gone cannot be hung up anyway.
void HangUpModem(COMHandle port, THangUpKind kind);
