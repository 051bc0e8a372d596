// Serial ports on Win32, the port list from the DOS device names and the port's presence from
// the friendly names of the Ports class (the rules in DosDevices.cpp).
//
// Every port is opened for overlapped I/O, so that no call here waits on the device: a
// read asks for exactly what the driver reports queued (ClearCommError) and so completes at
// once, a write hands the driver one piece of at most QueueSize bytes and returns, and the
// watch that wakes the event loop (COMPort_win.h) is a one-byte read left pending. No
// time-outs are set (all zero): a read then waits for the count it asks for, which is only
// ever what is there or the watch's one byte, and a write never ends early.
#include "channels/COMPort_win.h"
#include "channels/COMUtils.h"
#include "channels/COMUtils_p.h"
#include "channels/DosDevices.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <setupapi.h>

namespace {

// The driver queues requested on open; also the most one write hands the driver, so a
// full line holds back at most this much behind a disconnect or a "+rb".
constexpr DWORD QueueSize = 2048;
// Bound on waiting for the driver to send the last write before closing (FlushFileBuffers
// would wait without end on a line held by flow control).
constexpr DWORD CloseDrainLimitMs = 2000;
// Bounds on what only a misbehaving driver makes slow: a read of queued bytes, and the end
// of a cancelled request.
constexpr DWORD ReadLimitMs = 1000;
constexpr DWORD CancelLimitMs = 1000;

struct Port {
    HANDLE h = INVALID_HANDLE_VALUE;
    // The input watch: a one-byte read. Held: it completed with a byte not yet read.
    OVERLAPPED watch{};
    char watchByte = 0;
    bool watchPending = false;
    bool watchHeld = false;
    bool watchWanted = false;
    bool cancelling = false;
    // The read of what is queued; never left pending.
    OVERLAPPED read{};
    // The one write the driver may still be working on: writeBuffer[0, writeCount).
    OVERLAPPED write{};
    char writeBuffer[QueueSize];
    DWORD writeCount = 0;
    bool writePending = false;
    // A request failed: the adapter was pulled, the far side hung up.
    bool gone = false;

    ~Port() {
        for (OVERLAPPED* o : {&watch, &read, &write})
            if (o->hEvent)
                CloseHandle(o->hEvent);
    }
};

QMutex portsMutex;
std::map<COMHandle, std::unique_ptr<Port>> ports;

Port* find(COMHandle handle) {
    QMutexLocker lock(&portsMutex);
    const auto it = ports.find(handle);
    return it == ports.end() ? nullptr : it->second.get();
}

HANDLE toHandle(COMHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(handle));
}

COMHandle fromHandle(HANDLE h) {
    return static_cast<COMHandle>(reinterpret_cast<intptr_t>(h));
}

std::wstring wide(const QString& s) {
    return s.toStdWString();
}

// A request that ended: true when it succeeded, with the count in n. A cancel of our own
// is no failure; anything else marks the port gone.
bool finished(Port& p, OVERLAPPED& o, DWORD& n) {
    n = 0;
    if (GetOverlappedResult(p.h, &o, &n, FALSE))
        return true;
    if (!(GetLastError() == ERROR_OPERATION_ABORTED && p.cancelling))
        p.gone = true;
    return false;
}

// Takes the watch's byte once its read has completed.
void settleWatch(Port& p) {
    if (!p.watchPending || !HasOverlappedIoCompleted(&p.watch))
        return;
    p.watchPending = false;
    DWORD n = 0;
    if (finished(p, p.watch, n))
        p.watchHeld = n == 1;
}

void armWatch(Port& p) {
    settleWatch(p);
    if (p.watchPending || p.watchHeld || p.gone)
        return;
    DWORD n = 0;
    if (ReadFile(p.h, &p.watchByte, 1, &n, &p.watch)) {
        // Done at once (a byte was queued). A read without time-outs that brings nothing
        // is the device's end.
        p.watchHeld = n == 1;
        p.gone = n != 1;
    } else if (GetLastError() == ERROR_IO_PENDING) {
        p.watchPending = true;
    } else {
        p.gone = true;
    }
    if (p.gone)
        SetEvent(p.watch.hEvent); // whoever watches learns it from the next read
}

// Cancels a pending request, waits (bounded) for its end and settles it: true when it
// succeeded (in part, perhaps, with the count in n). Ended tells whether the driver let go
// of it at all; if not, its buffer must outlive the port.
bool cancelAndSettle(Port& p, OVERLAPPED& o, DWORD& n, bool& ended) {
    p.cancelling = true;
    CancelIoEx(p.h, &o);
    ended = WaitForSingleObject(o.hEvent, CancelLimitMs) == WAIT_OBJECT_0;
    const bool ok = ended && finished(p, o, n);
    p.cancelling = false;
    if (!ended)
        p.gone = true;
    return ok;
}

void cancelWatch(Port& p) {
    if (!p.watchPending)
        return;
    DWORD n = 0;
    bool ended = false;
    const bool ok = cancelAndSettle(p, p.watch, n, ended);
    p.watchPending = !ended;
    if (ok)
        p.watchHeld = n == 1; // the byte came before the cancel did
}

// Starts the write of writeBuffer[0, writeCount). False when the port is gone.
bool startWrite(Port& p) {
    DWORD n = 0;
    if (WriteFile(p.h, p.writeBuffer, p.writeCount, &n, &p.write)) {
        if (n == 0) {
            // Done, yet nothing taken: without time-outs only a device that has gone does so.
            p.gone = true;
            return false;
        }
        if (n < p.writeCount) {
            // Taken in part: the rest goes next.
            std::memmove(p.writeBuffer, p.writeBuffer + n, p.writeCount - n);
            p.writeCount -= n;
            return startWrite(p);
        }
        p.writeCount = 0;
        return true;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        p.writePending = true;
        return true;
    }
    p.gone = true;
    return false;
}

// Settles the write under way. True when the driver can take a new one.
bool settleWrite(Port& p) {
    if (!p.writePending)
        return true;
    if (!HasOverlappedIoCompleted(&p.write))
        return false;
    p.writePending = false;
    DWORD n = 0;
    if (!finished(p, p.write, n))
        return false;
    if (n < p.writeCount) {
        std::memmove(p.writeBuffer, p.writeBuffer + n, p.writeCount - n);
        p.writeCount -= n;
        return startWrite(p) && !p.writePending;
    }
    p.writeCount = 0;
    return true;
}

// The Ports (COM and LPT) device class.
const GUID PortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

QString systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    const QString message = n ? QString::fromWCharArray(text, int(n)).trimmed() : QString::number(error);
    LocalFree(text);
    return message;
}

// The friendly names of the present devices of the Ports class, in the system's order; a
// device without one gives an empty name.
QStringList friendlyNames() {
    QStringList names;
    const HDEVINFO set = SetupDiGetClassDevsW(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        std::vector<BYTE> buffer;
        DWORD type = 0;
        DWORD required = 0;
        QString name;
        for (;;) {
            if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_FRIENDLYNAME, &type, buffer.data(),
                                                  DWORD(buffer.size()), &required)) {
                name = QString::fromWCharArray(reinterpret_cast<const wchar_t*>(buffer.data()),
                                               int(buffer.size() / sizeof(wchar_t)));
                const qsizetype nul = name.indexOf(QChar(u'\0'));
                if (nul >= 0)
                    name.truncate(nul);
                break;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || required <= buffer.size())
                break;
            buffer.assign(required, 0);
        }
        names.append(name);
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

} // namespace

bool SetCOMState(COMHandle handle, int baudRate) {
    if (handle == INVALID_COM_HANDLE || baudRate <= 0)
        return false;
    const HANDLE h = toHandle(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb))
        return false;
    dcb.BaudRate = DWORD(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The low bit of the RTS control: RTS_CONTROL_DISABLE becomes RTS_CONTROL_ENABLE.
    dcb.fRtsControl |= RTS_CONTROL_ENABLE;
    // Raw bytes both ways, whatever the last program left set in the driver: no XON/XOFF
    // (it would swallow 0x11 and 0x13 of the relayed binary data), no dropped NUL bytes, no
    // parity check or replacement, and no I/O aborted after a line error (it would look like
    // a pulled adapter). Hardware flow control stays as the driver has it.
    dcb.fBinary = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fParity = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(h, &dcb))
        return false;
    // A driver may accept the request and keep its previous rate.
    DCB now{};
    now.DCBlength = sizeof now;
    return GetCommState(h, &now) && COMSpeedMatches(int(now.BaudRate), baudRate);
}

bool OpenCOMPort(const QString& portName, int baudRate, COMHandle& handle) {
    handle = INVALID_COM_HANDLE;
    if (portName.isEmpty())
        return false;
    // Share mode 0: exclusive; a port another program holds fails here.
    const HANDLE h = CreateFileW(wide(COMPortPath(portName)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    if (toHandle(fromHandle(h)) != h) { // never seen: kernel handles fit in 32 bits
        CloseHandle(h);
        return false;
    }
    auto port = std::make_unique<Port>();
    port->h = h;
    for (OVERLAPPED* o : {&port->watch, &port->read, &port->write}) {
        o->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!o->hEvent) {
            CloseHandle(h);
            return false;
        }
    }
    {
        QMutexLocker lock(&portsMutex);
        ports[fromHandle(h)] = std::move(port);
    }
    handle = fromHandle(h);

    COMMTIMEOUTS none{};
    if (!SetCOMState(handle, baudRate) || !SetupComm(h, QueueSize, QueueSize) || !SetCommTimeouts(h, &none) ||
        !PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        CloseCOMPort(handle);
        return false;
    }
    // The devices read DTR low / RTS high as "cable connected". Drivers without modem
    // lines (Wine's pseudo-terminals among them) refuse both, which is of no concern.
    EscapeCommFunction(h, CLRDTR);
    EscapeCommFunction(h, SETRTS);
    return true;
}

bool CloseCOMPort(COMHandle& handle) {
    if (handle == INVALID_COM_HANDLE)
        return true;
    const HANDLE h = toHandle(handle);
    std::unique_ptr<Port> port;
    {
        QMutexLocker lock(&portsMutex);
        const auto it = ports.find(handle);
        if (it != ports.end()) {
            port = std::move(it->second);
            ports.erase(it);
        }
    }
    // The variable never keeps a value the system may hand out again.
    handle = INVALID_COM_HANDLE;
    if (!port)
        return CloseHandle(h) != FALSE;
    Port& p = *port;
    // The last write gets a bounded time to go out; what is still unsent then is dropped.
    // A write that has finished is on its way already and is not purged: on a pseudo-
    // terminal it may wait unread on the far side (a last "ATH" or "+rb").
    if (p.writePending && WaitForSingleObject(p.write.hEvent, CloseDrainLimitMs) != WAIT_OBJECT_0)
        PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    bool safe = true;
    for (auto [o, pending] : {std::pair{&p.watch, p.watchPending}, std::pair{&p.write, p.writePending}}) {
        if (!pending || HasOverlappedIoCompleted(o))
            continue;
        DWORD n = 0;
        bool ended = false;
        cancelAndSettle(p, *o, n, ended);
        safe = safe && ended;
    }
    const bool closed = CloseHandle(h) != FALSE;
    if (!safe)
        port.release(); // the driver may still write into its buffers: they stay
    return closed;
}

int ReadCOMData(COMHandle handle, char* buffer) {
    if (buffer == nullptr)
        return 0;
    Port* found = find(handle);
    if (!found)
        return -1;
    Port& p = *found;
    settleWatch(p);
    DWORD errors = 0;
    COMSTAT state{};
    // Also clears a pending line error.
    const auto count = [&] {
        if (!p.gone && !ClearCommError(p.h, &errors, &state))
            p.gone = true;
        return !p.gone;
    };
    bool alive = count();
    if (alive && state.cbInQue > 0 && p.watchPending) {
        // The watch may take the first of these bytes at any moment: end it first, so that
        // its byte comes ahead of the rest, and count again.
        cancelWatch(p);
        alive = count();
    }
    int got = 0;
    if (p.watchHeld) {
        buffer[got++] = p.watchByte;
        p.watchHeld = false;
    }
    if (!alive)
        return got > 0 ? got : -1; // the rest of a hung-up port's bytes are lost
    const DWORD want = std::min<DWORD>(state.cbInQue, DWORD(COM_BUFFER_SIZE - got));
    if (want > 0) {
        DWORD n = 0;
        bool ok = ReadFile(p.h, buffer + got, want, &n, &p.read) != FALSE;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(p.read.hEvent, ReadLimitMs) == WAIT_OBJECT_0) {
                ok = finished(p, p.read, n);
            } else {
                bool ended = false;
                ok = cancelAndSettle(p, p.read, n, ended);
            }
        } else if (!ok) {
            p.gone = true;
        }
        if (!ok && p.gone)
            return got > 0 ? got : -1;
        got += int(n);
    }
    if (p.watchWanted)
        armWatch(p);
    return got;
}

int WriteCOMData(COMHandle handle, const char* data, int count) {
    if (data == nullptr || count <= 0)
        return 0;
    Port* found = find(handle);
    if (!found || found->gone)
        return -1;
    Port& p = *found;
    // Piece by piece while the driver finishes each at once (a pseudo-terminal under Wine
    // does); once it works on one, the port is full, which is no failure however long it
    // lasts (a slow line, a panel holding CTS).
    int written = 0;
    while (written < count && settleWrite(p)) {
        const DWORD take = std::min<DWORD>(DWORD(count - written), QueueSize);
        std::memcpy(p.writeBuffer, data + written, take);
        p.writeCount = take;
        if (!startWrite(p))
            break;
        written += int(take);
        if (p.writePending)
            break;
    }
    if (p.gone)
        return written > 0 ? written : -1;
    return written;
}

bool COMMachinePorts(QStringList& ports, QString& errorText) {
    QString list;
    std::uint32_t error = 0;
    const bool ok = QueryDosDeviceList(
        [](char16_t* buffer, std::uint32_t capacity) {
            SetLastError(0);
            DosDeviceAnswer answer;
            answer.count = QueryDosDeviceW(nullptr, reinterpret_cast<wchar_t*>(buffer), capacity);
            answer.error = GetLastError();
            return answer;
        },
        list, error);
    if (!ok) {
        errorText = systemMessage(error);
        return false;
    }
    // In the system's order, as the technician's other tools list them.
    ports = DosDeviceNamesWithPrefix(list, QStringLiteral("COM"));
    return true;
}

bool COMDevicePresent(const QString& portName) {
    if (FriendlyNamesMention(FriendlyNameLines(friendlyNames()), portName))
        return true;
    // A port without a Ports class device (some virtual and Bluetooth drivers; Wine, which
    // gives no friendly names at all): an open for no access at all finds its device without
    // touching the line; a port in use refuses it, and is there. Wine opens a port it defines
    // even when what lies behind it has gone; that handle then fails to tell its type.
    const HANDLE h = CreateFileW(wide(COMPortPath(portName)).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        SetLastError(NO_ERROR);
        const bool answers = GetFileType(h) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
        CloseHandle(h);
        return answers;
    }
    const DWORD e = GetLastError();
    return e == ERROR_ACCESS_DENIED || e == ERROR_SHARING_VIOLATION;
}

bool COMWaitWritable(COMHandle handle, int waitMs) {
    Port* p = find(handle);
    if (!p || p->gone)
        return false;
    if (!p->writePending)
        return true;
    return WaitForSingleObject(p->write.hEvent, DWORD(std::max(0, waitMs))) != WAIT_FAILED;
}

QString COMPortPath(const QString& portName) {
    if (portName.startsWith(QLatin1String("\\\\")))
        return portName;
    return QStringLiteral("\\\\.\\") + portName;
}

// ---- COMPort_win.h ---------------------------------------------------------------------

HANDLE COMInputEvent(COMHandle handle) {
    Port* p = find(handle);
    return p ? p->watch.hEvent : nullptr;
}

void COMWatchInput(COMHandle handle, bool on) {
    Port* p = find(handle);
    if (!p)
        return;
    p->watchWanted = on;
    if (!on)
        return;
    armWatch(*p);
    DWORD errors = 0;
    COMSTAT state{};
    if (p->watchHeld || p->gone || (ClearCommError(p->h, &errors, &state) && state.cbInQue > 0))
        SetEvent(p->watch.hEvent);
}

bool COMArmInput(COMHandle handle) {
    Port* p = find(handle);
    if (!p)
        return false;
    armWatch(*p);
    return !p->gone;
}

bool COMPortGone(COMHandle handle) {
    Port* p = find(handle);
    if (!p)
        return true;
    settleWatch(*p);
    return p->gone;
}

HANDLE COMWriteEvent(COMHandle handle) {
    Port* p = find(handle);
    return p ? p->write.hEvent : nullptr;
}

void COMWatchOutput(COMHandle handle, bool on) {
    Port* p = find(handle);
    if (p && on && (!p->writePending || HasOverlappedIoCompleted(&p->write)))
        SetEvent(p->write.hEvent);
}
