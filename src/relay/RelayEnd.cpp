#include "relay/RelayEnd.h"

#include "channels/COMNotifier.h"
#include "relay/SocketReset.h"

#include <QAbstractEventDispatcher>
#include <QAbstractSocket>
#include <cstring>

namespace {
// The relay waits in processEvents until something happened. On Windows that call returns
// only once the message queue is empty, and a setup program's connection that has closed
// keeps posting its close until it is read, which the relay does only after the wait: the
// wait never ended, burning a core. There an end with news ends the wait at once; elsewhere
// the wait returns after one round anyway, and a wake-up would cost each piece two calls.
void endRelayWait() {
#ifdef Q_OS_WIN
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance())
        dispatcher->interrupt();
#endif
}
} // namespace

// ---- SocketEnd ---------------------------------------------------------------------------

SocketEnd::SocketEnd(QAbstractSocket* socket, QObject* parent, bool watchReset)
    : RelayEnd(parent), FSocket(socket), FWatchReset(watchReset) {
    connect(socket, &QAbstractSocket::readyRead, this, &RelayEnd::readable);
    connect(this, &RelayEnd::readable, this, endRelayWait);
    // Only bytes Qt had to keep are reported written; the write-through path says nothing.
    connect(socket, &QAbstractSocket::bytesWritten, this, &RelayEnd::drained);
    connect(socket, &QAbstractSocket::disconnected, this, &RelayEnd::readable);
    if (watchReset)
        connect(socket, &QAbstractSocket::connected, this, [this] { FReset = false; });
}

bool SocketEnd::gone() const {
    return !FSocket->isValid() || FSocket->state() != QAbstractSocket::ConnectedState;
}

void SocketEnd::noteReset() {
    // Qt reads a reset as a close and its call clears the system's note of it, so the note
    // is taken first. It stays set while the bytes that came before the reset are read.
    if (FWatchReset && !FReset && !gone())
        FReset = SocketReset::Pending(FSocket->socketDescriptor());
}

qint64 SocketEnd::read(char* buffer, qint64 max) {
    if (gone())
        return -1;
    noteReset();
    // Unbuffered: one recv. A close by the far side (orderly or reset) reads as -1 after
    // the last byte, and leaves the socket unconnected without a signal of its own.
    const qint64 n = FSocket->read(buffer, max);
    return n < 0 ? -1 : n;
}

qint64 SocketEnd::write(const char* data, qint64 size) {
    if (gone())
        return -1;
    noteReset();
    // Unbuffered: straight to the kernel while Qt keeps nothing; what the kernel does not
    // take is kept, in order, behind the socket's write watch.
    const qint64 n = FSocket->write(data, size);
    return n < 0 ? -1 : n;
}

qint64 SocketEnd::queued() const {
    return FSocket->bytesToWrite();
}

bool SocketEnd::inputPending() const {
    return !gone() && FSocket->bytesAvailable() > 0; // unbuffered: what the kernel holds
}

// ---- SerialEnd ---------------------------------------------------------------------------

SerialEnd::SerialEnd(COMHandle handle, QObject* parent)
    : RelayEnd(parent), FHandle(handle), FNotifier(new COMNotifier(handle, this)) {
    FNotifier->setReadEnabled(true);
    connect(FNotifier, &COMNotifier::readable, this, &RelayEnd::readable);
    connect(FNotifier, &COMNotifier::writable, this, [this] { flushKept(); });
}

SerialEnd::~SerialEnd() = default;

void SerialEnd::stopWatching() {
    FNotifier->setReadEnabled(false);
    FNotifier->setWriteEnabled(false);
}

qint64 SerialEnd::read(char* buffer, qint64 max) {
    if (max >= COM_BUFFER_SIZE)
        return ReadCOMData(FHandle, buffer);
    char piece[COM_BUFFER_SIZE];
    const int n = ReadCOMData(FHandle, piece);
    if (n <= 0)
        return n;
    // A caller that asks for less than a whole buffer gets the front; nothing else here
    // asks so (the relay always reads a whole buffer).
    const qint64 taken = qMin<qint64>(n, max);
    std::memcpy(buffer, piece, size_t(taken));
    return taken;
}

qint64 SerialEnd::write(const char* data, qint64 size) {
    if (FHandle == INVALID_COM_HANDLE)
        return -1;
    qint64 done = 0;
    if (queued() == 0) {
        // One write: a tty takes what fits and says so, and a second call right after a
        // short write would only meet a full buffer.
        const int n = WriteCOMData(FHandle, data, int(qMin<qint64>(size, 1 << 30)));
        if (n < 0)
            return -1;
        done = n;
        if (done == size)
            return size;
    }
    FKept.append(data + done, size - done);
    FNotifier->setWriteEnabled(true);
    return size;
}

void SerialEnd::flushKept() {
    const int n = WriteCOMData(FHandle, FKept.constData() + FKeptFrom, int(qMin<qint64>(queued(), 1 << 30)));
    if (n < 0) {
        // The port is gone: a gone port stays writable for poll, so the watch must go.
        FNotifier->setWriteEnabled(false);
        emit failed();
        return;
    }
    FKeptFrom += n;
    if (queued() == 0) {
        FKept.clear();
        FKeptFrom = 0;
        FNotifier->setWriteEnabled(false);
    } else if (FKeptFrom >= 64 * 1024 && FKeptFrom * 2 >= FKept.size()) {
        FKept.remove(0, FKeptFrom); // the front goes once it is worth the move
        FKeptFrom = 0;
    }
    if (n > 0)
        emit drained();
}

qint64 SerialEnd::discard() {
    const qint64 n = queued();
    FKept.clear();
    FKeptFrom = 0;
    FNotifier->setWriteEnabled(false);
    return n;
}

bool SerialEnd::inputPending() const {
    // The serial port is the device: nothing orders its input against another's.
    return false;
}
