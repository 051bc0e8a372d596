// Serial port access over POSIX termios descriptors, and the machine's port list.
//
// A port handle is a file descriptor; -1 means "no port". Every function here that
// opens or closes a port keeps the caller's variable in that convention.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>

using COMHandle = int;
constexpr COMHandle INVALID_COM_HANDLE = -1;
constexpr int COM_BUFFER_SIZE = 32768;

// Line settings: raw 8N1 at the given speed, CLOCAL, software flow control off,
// hardware flow control as the driver has it. True when the port took the settings
// and reports the requested speed back.
bool SetCOMState(COMHandle handle, int baudRate);

// Opens "/dev/<name>" (or the name itself when it holds a slash) exclusively,
// configures it, purges both queues, drops DTR and raises RTS.
// False on any failure, with -1 in the variable. Logs and shows nothing.
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
// A short command: keeps writing, waiting in poll for room, until all of it went out or
// waitMs passed. The count written; -1 when the port is gone before anything went out.
int WriteCOMDataWithin(COMHandle handle, const char* data, int count, int waitMs);
// How long a short command (a handshake request, a modem's hang-up) may wait for room.
constexpr int ShortWriteLimitMs = 500;
// The string's bytes as a short command (WriteCOMDataWithin, ShortWriteLimitMs).
int WriteCOMString(COMHandle handle, const QByteArray& s);

// Replaces the list's contents with the names of the machine's serial ports that
// begin with prefix (empty prefix: all). Names as users know them: ttyUSB0, ttyACM0.
// Then the names or paths listed in the environment variable KESTROM_EXTRA_PORTS
// (separated by ':') that are present, e.g. a panel simulator's pseudo-terminal.
void GetCOMPortList(QStringList& list, const QString& prefix);

// The machine's serial ports as listed under a sysfs tty class directory
// ("/sys/class/tty"): entries backed by a device, without the serial core's phantom
// ttyS ports (type 0), in natural order (ttyS2 before ttyS10). Opens no port.
QStringList GetSysfsCOMPorts(const QString& sysClassTtyDir);

// True when the named port is present now: its path exists and is a character device
// (links followed). While a test enumerator is installed the name must also be one of
// its names, whole (ttyUSB1 is not found in ttyUSB10).
bool COMPortExists(const QString& portName);

// The device path a port name stands for: "/dev/<name>", or the name itself when it is a path.
QString COMPortPath(const QString& portName);

// Test seam: replaces the enumeration of the machine's ports (tests present
// pseudo-terminals through symlinks). An empty function restores the real one.
void SetCOMPortEnumeratorForTest(std::function<QStringList()> enumerator);
