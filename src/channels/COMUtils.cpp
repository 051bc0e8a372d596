#include "channels/COMUtils.h"

#include "channels/COMSpeed.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bound on waiting for the driver to send pending output before closing; close()
// itself would wait up to 30 s, tcdrain() forever.
constexpr milliseconds CloseDrainLimit{2000};
constexpr milliseconds CloseDrainStep{20};
// UARTs tolerate about 2 % of rate error; a reported speed further off means the
// driver kept another rate (56000 asked, 57600 kept is 2.9 % off).
constexpr int SpeedTolerancePercent = 2;

QMutex enumeratorMutex;
std::function<QStringList()> enumeratorForTest;

// Bytes waiting in the driver's output queue, -1 when the port cannot tell (hung up).
// UNIX98 pseudo-terminal slaves have the majors 136 to 143.
bool isPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

int pendingOutput(int fd) {
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0)
        return -1;
    return queued;
}

// A timed pause that is not a busy wait: poll() on no descriptors.
void pause(milliseconds ms) {
    ::poll(nullptr, 0, static_cast<int>(ms.count()));
}

bool speedMatches(int actual, int requested) {
    if (actual <= 0)
        return false;
    const long long diff = std::llabs(static_cast<long long>(actual) - requested);
    return diff * 100 <= static_cast<long long>(requested) * SpeedTolerancePercent;
}

bool isCharacterDevice(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Natural order, so that ttyS2 comes before ttyS10.
bool naturalLess(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Compare digit runs by value: strip leading zeros, then length, then text.
            qsizetype si = i, sj = j;
            while (si + 1 < ei && a[si] == u'0')
                ++si;
            while (sj + 1 < ej && b[sj] == u'0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

} // namespace

bool SetCOMState(COMHandle handle, int baudRate) {
    if (handle < 0 || baudRate <= 0)
        return false;
    struct termios tio {};
    if (tcgetattr(handle, &tio) != 0)
        return false;
    // Raw bytes in both directions. Software flow control goes too: Linux enables
    // IXON by default and would swallow 0x11/0x13 of the relayed binary data, while
    // the devices' own software expects a line without XON/XOFF. CRTSCTS stays as the
    // driver has it.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF |
                     IXANY | INPCK | IGNPAR);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
    // CLOCAL: a missing carrier must neither block the open nor hang up the line.
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // VMIN 1: a read of an empty port answers EAGAIN (the descriptor never blocks) and a
    // read of a hung-up one end of file. With VMIN 0 both would read as 0 bytes.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(handle, TCSANOW, &tio) != 0)
        return false;
    if (!SetCOMSpeed(handle, baudRate))
        return false;
    // A driver may accept the request and keep its previous rate.
    return speedMatches(GetCOMSpeed(handle), baudRate);
}

bool OpenCOMPort(const QString& portName, int baudRate, COMHandle& handle) {
    handle = INVALID_COM_HANDLE;
    if (portName.isEmpty())
        return false;
    const QByteArray path = QFile::encodeName(COMPortPath(portName));
    // Non-blocking for good: a blocking write into a full pseudo-terminal or a line
    // held by flow control would never return. O_NOCTTY: the port must not become our
    // controlling terminal (a hang-up would then signal us).
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    // TIOCEXCL does not stop root, flock does. On refusal close without TIOCNXCL: the
    // exclusive flag belongs to the device and the other holder set it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    ioctl(fd, TIOCEXCL);
    handle = fd;

    if (!SetCOMState(handle, baudRate) || tcflush(handle, TCIOFLUSH) != 0) {
        CloseCOMPort(handle);
        return false;
    }
    // The devices read DTR low / RTS high as "cable connected". Pseudo-terminals
    // answer ENOTTY, which is of no concern.
    const int dtr = TIOCM_DTR;
    const int rts = TIOCM_RTS;
    ioctl(handle, TIOCMBIC, &dtr);
    ioctl(handle, TIOCMBIS, &rts);
    return true;
}

bool CloseCOMPort(COMHandle& handle) {
    if (handle == INVALID_COM_HANDLE)
        return true;
    const int fd = handle;
    // Give the driver a bounded time to send what is still queued. A hung-up port
    // fails TIOCOUTQ and is closed at once: while any descriptor stays open the kernel
    // keeps the device's number, and a re-plugged adapter would come back under
    // another name.
    const auto deadline = Clock::now() + CloseDrainLimit;
    while (pendingOutput(fd) > 0 && Clock::now() < deadline)
        pause(CloseDrainStep);
    // A pseudo-terminal has no output queue of its own: what was written already sits in
    // the other side's input, and flushing would throw away bytes the far side simply
    // has not read yet (a last "ATH" or "+rb").
    if (!isPseudoTerminal(fd))
        tcflush(fd, TCOFLUSH);
    // The exclusive flag outlives the descriptor on pseudo-terminals.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    const int rc = ::close(fd);
    const int closeErrno = errno;
    // Linux releases the descriptor even when close() reports an error (EINTR, EIO),
    // so the variable must not keep a number that may be reused; only a descriptor
    // that was not open (EBADF) counts as failure.
    handle = INVALID_COM_HANDLE;
    return rc == 0 || closeErrno != EBADF;
}

int ReadCOMData(COMHandle handle, char* buffer) {
    if (buffer == nullptr)
        return 0;
    // One read of what is queued: with VMIN 1 on a non-blocking descriptor an empty port
    // answers EAGAIN and a hung-up one end of file (a pseudo-terminal whose other side has
    // gone answers EIO), so no FIONREAD is needed to tell them apart.
    ssize_t got;
    do {
        got = ::read(handle, buffer, static_cast<size_t>(COM_BUFFER_SIZE));
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        return static_cast<int>(got);
    if (got == 0)
        return -1; // end of file: the port has hung up
    return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
}

QByteArray ReadCOMString(COMHandle handle) {
    QByteArray buffer(COM_BUFFER_SIZE, Qt::Uninitialized);
    const int n = ReadCOMData(handle, buffer.data());
    if (n <= 0)
        return {};
    buffer.truncate(n);
    buffer.replace('\0', ' ');
    return buffer;
}

int WriteCOMData(COMHandle handle, const char* data, int count) {
    if (data == nullptr || count <= 0)
        return 0;
    if (handle < 0)
        return -1;
    // One write: a tty takes what fits and reports it; a second call right after a short
    // write only meets EAGAIN. A full buffer is no failure, however long it lasts (a slow
    // line, a panel holding CTS while it writes its flash): the caller keeps the rest.
    for (;;) {
        const ssize_t r = ::write(handle, data, static_cast<size_t>(count));
        if (r >= 0)
            return static_cast<int>(r);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1; // EIO: the adapter was pulled, the far side hung up
    }
}

int WriteCOMDataWithin(COMHandle handle, const char* data, int count, int waitMs) {
    if (data == nullptr || count <= 0)
        return 0;
    const auto deadline = Clock::now() + milliseconds(std::max(0, waitMs));
    int written = 0;
    while (written < count) {
        const int r = WriteCOMData(handle, data + written, count - written);
        if (r < 0)
            return written > 0 ? written : -1;
        written += r;
        if (written == count)
            break;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{handle, POLLOUT, 0};
        const int pr = ::poll(&p, 1, static_cast<int>(left.count()));
        if (pr < 0 && errno != EINTR)
            return written > 0 ? written : -1;
        if (pr > 0 && (p.revents & POLLNVAL))
            return written > 0 ? written : -1;
    }
    return written;
}

int WriteCOMString(COMHandle handle, const QByteArray& s) {
    return WriteCOMDataWithin(handle, s.constData(), static_cast<int>(std::min<qsizetype>(s.size(), INT32_MAX)),
                              ShortWriteLimitMs);
}

QStringList GetSysfsCOMPorts(const QString& sysClassTtyDir) {
    QStringList names;
    const QDir dir(sysClassTtyDir);
    const QStringList entries = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const QString base = dir.filePath(name);
        // Virtual consoles, pseudo-terminals and the like have no backing device.
        if (!QFileInfo::exists(base + QStringLiteral("/device")))
            continue;
        // The serial core registers ttyS0..31 whether or not a UART is there; those
        // report type 0 (PORT_UNKNOWN). Drivers without a type file are real devices.
        QFile type(base + QStringLiteral("/type"));
        if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0")
            continue;
        names.append(name);
    }
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

void GetCOMPortList(QStringList& list, const QString& prefix) {
    std::function<QStringList()> enumerator;
    {
        QMutexLocker lock(&enumeratorMutex);
        enumerator = enumeratorForTest;
    }
    QStringList all;
    if (enumerator) {
        all = enumerator();
    } else {
        all = GetSysfsCOMPorts(QStringLiteral("/sys/class/tty"));
        // Ports the machine cannot list (a panel simulator's pseudo-terminal, a udev
        // alias), named by the user; listed while present.
        const QString extra = qEnvironmentVariable("KESTROM_EXTRA_PORTS");
        for (const QString& name : extra.split(u':', Qt::SkipEmptyParts)) {
            if (!all.contains(name) && isCharacterDevice(COMPortPath(name)))
                all.append(name);
        }
    }
    list.clear();
    for (const QString& name : all) {
        if (name.startsWith(prefix, Qt::CaseSensitive))
            list.append(name);
    }
}

bool COMPortExists(const QString& portName) {
    if (portName.isEmpty())
        return false;
    std::function<QStringList()> enumerator;
    {
        QMutexLocker lock(&enumeratorMutex);
        enumerator = enumeratorForTest;
    }
    const QString path = COMPortPath(portName);
    if (enumerator) {
        // Whole names only: ttyUSB1 is not present because ttyUSB10 is.
        const QStringList names = enumerator();
        const bool listed = std::any_of(names.begin(), names.end(), [&](const QString& n) {
            return n == portName || COMPortPath(n) == path;
        });
        if (!listed)
            return false;
    }
    // The device node decides. A pulled USB adapter's node goes away; a symlink to a
    // pseudo-terminal dangles once the master is closed, even while a slave is open.
    return isCharacterDevice(path);
}

QString COMPortPath(const QString& portName) {
    if (portName.contains(u'/'))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

void SetCOMPortEnumeratorForTest(std::function<QStringList()> enumerator) {
    QMutexLocker lock(&enumeratorMutex);
    enumeratorForTest = std::move(enumerator);
}
