// What the panel simulator's files share: its limits, its answers and small helpers.
#pragma once

#include "PanelSim.h"

#include <QByteArray>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace PanelSimDetail {

// Output the panel could not hand to the pseudo-terminal yet (the program has the port
// closed and the kernel's buffer is full). Beyond this the oldest bytes go: a real
// panel's transmitter does not wait for anybody either.
inline constexpr qsizetype MaxPendingOutput = 1 << 20;
// What Qt takes from a held connection before it leaves the rest in the kernel.
inline constexpr qint64 HeldReadBuffer = 4096;
// Longest line the dialogue waits for; longer input is device data.
inline constexpr qsizetype MaxCommandLength = 256;
// Device bytes kept while a script waits for a request to appear.
inline constexpr qsizetype MaxScriptInput = 1 << 16;

inline const QByteArray StandardOk = "OK\r\n";
inline const QByteArray StandardError = "ERROR\r\n";
inline const QByteArray OldOk = "OK\r";
inline const QByteArray OldError = "ERROR\r";
inline const QByteArray RbCommand = "+rb\r";

inline QString errnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(strerror(errno)));
}

// Standard commands have upper-case names ("+VER_INFO", "+K5_STOP_PANEL") and end in
// CR LF; old-style ones are lower case ("+v", "+id", "+rb") and end in CR alone.
inline bool isStandardCommand(const QByteArray& line) {
    const qsizetype eq = line.indexOf('=');
    const QByteArray name = line.left(eq < 0 ? line.size() : eq);
    if (name.size() < 2)
        return false;
    return std::all_of(name.begin() + 1, name.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; });
}

inline int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace PanelSimDetail
