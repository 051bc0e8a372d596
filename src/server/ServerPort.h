// The local server's port rule, apart from the window that runs the server.
#pragma once

#include <QString>
#include <QtGlobal>

constexpr quint16 DefaultServerPort = 53462;

// Port text of the server dialog: not a number, below 1024 or above 65535 gives the default.
quint16 EffectiveServerPort(const QString& text);
