// What the shared part of COMUtils (COMUtils.cpp) asks of each platform's part
// (COMUtils_posix.cpp, COMUtils_win.cpp). Not for use outside COMUtils.
#pragma once

#include "channels/COMUtils.h"

// The machine's serial ports by name, in natural order, without the test seam or
// KESTROM_EXTRA_PORTS. Opens no port. False, with the system's text in error, when the
// system could not list them (Windows only).
bool COMMachinePorts(QStringList& ports, QString& error);

// Whether the named port's device is there now.
bool COMDevicePresent(const QString& portName);

// Blocks at most waitMs until the port can take bytes again after a short write. False when
// the port failed meanwhile (it is gone or was never open).
bool COMWaitWritable(COMHandle handle, int waitMs);

// Natural order, so that ttyS2 comes before ttyS10 and COM3 before COM10.
bool COMNaturalLess(const QString& a, const QString& b);

// Whether a speed a driver reports back is the one requested. UARTs tolerate about 2 % of
// rate error; a reported speed further off means the driver kept another rate (56000
// asked, 57600 kept is 2.9 % off).
bool COMSpeedMatches(int actual, int requested);
