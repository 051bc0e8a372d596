// Serial ports over POSIX termios descriptors, and the port list from sysfs.
#include "channels/COMUtils.h"

#include "channels/COMSpeed.h"
#include "channels/COMUtils_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <chrono>

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

bool isCharacterDevice(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
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
    return COMSpeedMatches(GetCOMSpeed(handle), baudRate);
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
    std::sort(names.begin(), names.end(), COMNaturalLess);
    return names;
}

QString COMPortPath(const QString& portName) {
    if (portName.contains(u'/'))
        return portName;
    return QStringLiteral("/dev/") + portName;
}

bool COMMachinePorts(QStringList& ports, QString& /*error*/) {
    ports = GetSysfsCOMPorts(QStringLiteral("/sys/class/tty"));
    return true;
}

// The device node decides. A pulled USB adapter's node goes away; a symlink to a
// pseudo-terminal dangles once the master is closed, even while a slave is open.
bool COMDevicePresent(const QString& portName) {
    return isCharacterDevice(COMPortPath(portName));
}

bool COMWaitWritable(COMHandle handle, int waitMs) {
    pollfd p{handle, POLLOUT, 0};
    const int pr = ::poll(&p, 1, waitMs);
    if (pr < 0 && errno != EINTR)
        return false;
    return !(pr > 0 && (p.revents & POLLNVAL));
}
