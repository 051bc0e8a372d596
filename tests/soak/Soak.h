// Soak: the wizard relays pseudo-random streams in both directions for a long time while
// faults are injected, and every byte is checked on arrival.
//
// The wizard runs in this process on the GUI thread (offscreen), exactly as a technician
// drives it: channel chosen, port or address given, the connect link clicked. One peer
// thread plays both far ends with plain non-blocking descriptors, so neither end depends
// on the wizard's event loop:
//   the panel  - a pseudo-terminal master (cable) or a TCP listener on 127.0.0.1 (LAN);
//                it answers the version request, then streams; on the modem channel the
//                pseudo-terminal master is the GSM modem first (AT dialogue, "CONNECT"),
//                the panel behind it once the call is up, and hangs up with "NO CARRIER";
//   the setup program - a TCP client of the wizard's local server.
// Each direction carries a stream whose bytes are a function of (seed, offset), so the
// receiver checks every byte for loss, duplication and order without keeping a copy.
// Each new connection (setup program restarted, port replugged, panel reconnected)
// starts new streams with new seeds: a byte of an old connection that reaches a new one
// is caught.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

struct SoakOptions {
    // Bytes per direction in the bulk phase of each channel.
    qint64 bulkBytes = 256ll * 1024 * 1024;
    // The setup program dies this many times mid-stream (half of them with a reset).
    int setupRestarts = 20;
    // Serial port unplugged and plugged back this many times (cable).
    int unplugCycles = 100;
    // The panel drops its TCP connection this many times (LAN).
    int lanDrops = 1000;
    // Largest packet a sender writes at once.
    int maxPacket = 64 * 1024;
    quint64 seed = 1;
    // The far end of a modem call hangs up ("NO CARRIER") this many times; each time the
    // soak clicks the redial link.
    int modemHangups = 10;
    // The tick runs this many times faster during the modem channel, so that a dial's
    // listening period and pauses (some 25 s) pass in about a second.
    int modemTickScale = 20;
    // "cable", "lan", "modem".
    QStringList channels{QStringLiteral("cable"), QStringLiteral("lan"), QStringLiteral("modem")};
    // The traffic log window is shown and hidden again every this many ms (0: never shown).
    int logToggleMs = 1500;
    // Allowed RSS growth after the warm-up, bytes (not checked under AddressSanitizer,
    // whose quarantine holds freed memory on purpose).
    qint64 rssGrowthLimit = 5ll * 1024 * 1024;
    // The LAN reconnect timer's interval during the drops (the program uses 1000 ms;
    // a shorter one lets a thousand drops run in a minute).
    int lanReconnectMs = 20;
    bool verbose = false;
};

struct SoakCheck {
    QString name;
    bool passed = false;
    QString detail;
};

// Runs every channel of the options; needs a QApplication on the calling thread.
QList<SoakCheck> RunSoak(const SoakOptions& options);
