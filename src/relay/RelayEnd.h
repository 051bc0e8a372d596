// The ends the relay moves bytes between: a TCP connection (the setup program's, or the
// panel's on the IP channel) and the serial port. Neither ever blocks.
//
// Writing is the same on every end: straight to the descriptor while nothing waits, the rest
// kept in order, and the end watches for room only while it keeps something. So a relayed
// piece costs one wake-up and one read and one write, as with socat.
#pragma once

#include "channels/COMUtils.h"

#include <QByteArray>
#include <QObject>

class QAbstractSocket;
class COMNotifier;

class RelayEnd : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    // What is there now, at most max: the count read; 0 when nothing is waiting; -1 when
    // the end has gone (closed by the far side, reset, hung up), after its last byte.
    virtual qint64 read(char* buffer, qint64 max) = 0;
    // Takes all of it: what the end takes now goes straight out, the rest is kept and
    // sent as room comes. -1 when the end has gone (nothing is kept then).
    virtual qint64 write(const char* data, qint64 size) = 0;
    // Bytes taken by write() and not sent yet.
    virtual qint64 queued() const = 0;
    // Bytes on their way in and not read yet (asks the kernel).
    virtual bool inputPending() const = 0;

  signals:
    // There is something to read, or the end has closed (read() then says which).
    void readable();
    // Some of what was kept has gone out; queued() tells how much is left.
    void drained();
    // A write of kept bytes found the end gone; they are lost.
    void failed();
};

// A connected TCP socket in unbuffered mode: reads and writes reach the kernel at once; Qt
// keeps only what the kernel did not take.
class SocketEnd : public RelayEnd {
    Q_OBJECT
  public:
    // watchReset: a reset by the far side is told from its close (closedByReset), for one
    // more system call per read and write.
    explicit SocketEnd(QAbstractSocket* socket, QObject* parent = nullptr, bool watchReset = false);
    QAbstractSocket* socket() const { return FSocket; }

    qint64 read(char* buffer, qint64 max) override;
    qint64 write(const char* data, qint64 size) override;
    qint64 queued() const override;
    bool inputPending() const override;
    // The far side has closed it, or a read or write failed.
    bool gone() const;
    // Watched: the far side reset this connection (a new connection starts without). Found
    // before the bytes that came ahead of the reset are read; read() reports -1 after them.
    bool closedByReset() const { return FReset; }
    // Watched: looks for a reset before a call on the socket that bypasses read() and
    // write() (Qt's own readAll, write) takes the system's note of it.
    void noteReset();

  private:
    QAbstractSocket* FSocket;
    bool FWatchReset;
    bool FReset = false;
};

// The open serial port. What the port does not take at once waits here (bounded by the
// relay, not by this class) behind the port's write watch.
class SerialEnd : public RelayEnd {
    Q_OBJECT
  public:
    explicit SerialEnd(COMHandle handle, QObject* parent = nullptr);
    ~SerialEnd() override;
    COMHandle handle() const { return FHandle; }
    COMNotifier* notifier() const { return FNotifier; }

    qint64 read(char* buffer, qint64 max) override;
    qint64 write(const char* data, qint64 size) override;
    qint64 queued() const override { return FKept.size() - FKeptFrom; }
    bool inputPending() const override;
    // Stops watching the port (it hung up, or the relay is done with it); kept bytes stay.
    void stopWatching();
    // Drops what is kept; the count dropped.
    qint64 discard();

  private:
    void flushKept();
    COMHandle FHandle;
    COMNotifier* FNotifier;
    // The bytes the port has not taken yet start at FKeptFrom; the front is cut off only
    // once it is worth moving the rest.
    QByteArray FKept;
    qsizetype FKeptFrom = 0;
};
