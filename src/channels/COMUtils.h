// Serial port access and the machine's port list.
//
// A port handle is a file descriptor on POSIX and a Win32 handle's value on Windows (kernel
// handles fit in 32 bits); -1 means "no port". Every function here that opens or closes a
// port keeps the caller's variable in that convention. The shared part is COMUtils.cpp,
// each platform's own part COMUtils_posix.cpp (termios) or COMUtils_win.cpp (Win32
// overlapped I/O).
#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>

using COMHandle = int;
constexpr COMHandle INVALID_COM_HANDLE = -1;
constexpr int COM_BUFFER_SIZE = 32768;

// Line settings: raw 8N1 at the given speed (POSIX: CLOCAL), software flow control off,
// hardware flow control as the driver has it. True when the port took the settings
// and reports the requested speed back.
bool SetCOMState(COMHandle handle, int baudRate);

// Opens the port's device (COMPortPath) exclusively, configures it, purges both queues,
// drops DTR and raises RTS. False on any failure, with -1 in the variable. Logs and
// shows nothing.
bool OpenCOMPort(const QString& portName, int baudRate, COMHandle& handle);

// Waits a bounded time for pending output, discards the rest and closes.
// -1 in: true at once. True when closed; the variable then holds -1.
bool CloseCOMPort(COMHandle& handle);

// Reads only what is queued, at most COM_BUFFER_SIZE bytes, never waits.
// 0: nothing queued; -1: the port failed or hung up (adapter pulled, far side gone).
int ReadCOMData(COMHandle handle, char* buffer);

// The queued bytes with every 0x00 turned into a space; empty on 0 or -1.
QByteArray ReadCOMString(COMHandle handle);

// Writes what the driver takes now and never waits: the count written, 0 when its
// buffer is full (not a failure), -1 when the port is gone (hung up, removed).
int WriteCOMData(COMHandle handle, const char* data, int count);
// A short command: keeps writing, waiting for room, until all of it went out or waitMs
// passed. The count written; -1 when the port is gone before anything went out.
int WriteCOMDataWithin(COMHandle handle, const char* data, int count, int waitMs);
// How long a short command (a handshake request, a modem's hang-up) may wait for room.
constexpr int ShortWriteLimitMs = 500;
// The string's bytes as a short command (WriteCOMDataWithin, ShortWriteLimitMs).
int WriteCOMString(COMHandle handle, const QByteArray& s);

// Replaces the list's contents with the names of the machine's serial ports that
// begin with prefix (empty prefix: all). Names as users know them: ttyUSB0, ttyACM0 (from
// sysfs, in natural order); COM3, COM10 (the DOS device names that begin with "COM", in the
// system's order). Then the names or paths listed in the environment variable
// KESTROM_EXTRA_PORTS (separated by ':') that are present, e.g. a panel simulator's
// pseudo-terminal. When the system cannot list its ports, returns false with the system's
// text in error (if given) and leaves the list as it was.
bool GetCOMPortList(QStringList& list, const QString& prefix, QString* error = nullptr);

#ifndef _WIN32
// The machine's serial ports as listed under a sysfs tty class directory
// ("/sys/class/tty"): entries backed by a device, without the serial core's phantom
// ttyS ports (type 0), in natural order (ttyS2 before ttyS10). Opens no port.
QStringList GetSysfsCOMPorts(const QString& sysClassTtyDir);
#endif

// True when the named port is present now. POSIX: its path exists and is a character
// device (links followed). Windows: a friendly name of the Ports class mentions it (case
// ignored, COM1 within COM10 counts), or, for a port none mentions, a query-only open finds
// the device (busy counts as there). While a test enumerator is installed the name must also
// be one of its names, whole (ttyUSB1 is not found in ttyUSB10).
bool COMPortExists(const QString& portName);

// The device path a port name stands for. POSIX: "/dev/<name>", or the name itself when it
// is a path. Windows: "\\.\<name>" (COM10 and above open only so), or the name itself
// when it is a device path already.
QString COMPortPath(const QString& portName);

// Test seam: replaces the enumeration of the machine's ports (tests present
// pseudo-terminals through symlinks). An empty function restores the real one.
void SetCOMPortEnumeratorForTest(std::function<QStringList()> enumerator);
// Test seam: while message is not empty, listing the ports fails with it, as when the
// system refuses its device names.
void SetCOMPortListFailureForTest(const QString& message);
