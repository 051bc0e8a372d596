#include "relay/RelayCore.h"

#include <QAbstractSocket>
#include <utility>

RelayCore::RelayCore(QObject* parent) : QObject(parent) {}

// The connections' links to the core go with whichever of them is destroyed first.
RelayCore::~RelayCore() = default;

qsizetype RelayCore::IndexOf(const QAbstractSocket* socket) const {
    for (qsizetype i = 0; i < FSetup.size(); ++i)
        if (FSetup[i].socket == socket)
            return i;
    return -1;
}

void RelayCore::AddSetup(QAbstractSocket* socket) {
    auto* end = new SocketEnd(socket, socket);
    FSetup.append(Connection{socket, end});
    connect(end, &RelayEnd::readable, this, [this, socket] {
        const qsizetype i = IndexOf(socket);
        if (i < 0 || FSetup[i].closed)
            return;
        FSetup[i].mayRead = true;
        emit setupReadable(socket);
    });
    connect(end, &RelayEnd::drained, this, [this, socket] { SetupDrained(socket); });
    // Qt gives a connection up by itself only after a failed write of bytes it kept; the
    // usual end, a close by the far side, is found by a read.
    connect(socket, &QAbstractSocket::disconnected, this, [this, socket] { Closed(socket); });
    // Deleted by someone else while listed (the server going away): it is forgotten.
    connect(socket, &QObject::destroyed, this, [this, socket] {
        const qsizetype i = IndexOf(socket);
        if (i >= 0)
            FSetup.removeAt(i);
    });
    emit setupCountChanged(SetupCount());
}

void RelayCore::RemoveSetup(QAbstractSocket* socket) {
    const qsizetype i = IndexOf(socket);
    if (i < 0)
        return;
    QObject::disconnect(socket, nullptr, this, nullptr);
    QObject::disconnect(FSetup[i].end, nullptr, this, nullptr);
    FSetup.removeAt(i);
    emit setupCountChanged(SetupCount());
    // The next connection is the first now: a device held back for the old one's sake
    // may go on, if this one has room.
    if (i == 0 && FDeviceHeld)
        SetupDrained(FirstSetup());
}

void RelayCore::DropSetup() {
    const QList<Connection> all = FSetup;
    FSetup.clear();
    for (const Connection& c : all) {
        QObject::disconnect(c.socket, nullptr, this, nullptr);
        QObject::disconnect(c.end, nullptr, this, nullptr);
        c.socket->abort();
        c.socket->deleteLater();
    }
    FDeviceHeld = false;
    emit setupCountChanged(0);
}

QList<QAbstractSocket*> RelayCore::SetupSockets() const {
    QList<QAbstractSocket*> list;
    for (const Connection& c : FSetup)
        list.append(c.socket);
    return list;
}

QAbstractSocket* RelayCore::FirstSetup() const {
    for (const Connection& c : FSetup)
        if (!c.closed)
            return c.socket;
    return nullptr;
}

SocketEnd* RelayCore::FirstSetupEnd() const {
    for (const Connection& c : FSetup)
        if (!c.closed)
            return c.end;
    return nullptr;
}

bool RelayCore::EarlierSetupPending(const QAbstractSocket* socket) const {
    for (const Connection& c : FSetup) {
        if (c.socket == socket)
            return false;
        if (!c.closed && (c.mayRead || c.end->inputPending()))
            return true;
    }
    return false;
}

void RelayCore::SetDevice(RelayEnd* device) {
    if (FDevice)
        QObject::disconnect(FDevice, nullptr, this, nullptr);
    FDevice = device;
    if (FDevice) {
        connect(FDevice, &RelayEnd::drained, this, &RelayCore::DeviceDrained);
        connect(FDevice, &QObject::destroyed, this, [this] { FDevice = nullptr; });
    }
}

void RelayCore::Closed(QAbstractSocket* socket) {
    const qsizetype i = IndexOf(socket);
    if (i < 0 || FSetup[i].closed)
        return;
    FSetup[i].closed = true;
    if (FReading)
        FClosedMeanwhile.append(socket);
    else
        emit setupClosed(socket);
}

qint64 RelayCore::ReadSetup(char* buffer, qint64 max) {
    if (FDevice) {
        const qint64 room = FLimits.towardDevice - FDevice->queued();
        if (room <= 0) {
            FSetupHeld = true; // the connections stay unread; TCP holds the setup program
            return 0;
        }
        max = qMin(max, room);
    }
    FReading = true;
    qint64 got = 0;
    for (qsizetype i = 0; i < FSetup.size() && got == 0; ++i) {
        Connection& c = FSetup[i];
        if (c.closed)
            continue;
        // A connection with a later one behind it is asked the kernel: its bytes must all
        // be through before the later one's. The last one is read only when it said so.
        const bool later = i + 1 < FSetup.size();
        if (!c.mayRead && !(later && c.end->inputPending()))
            continue;
        // One read: if more is waiting, the socket says so again (its notifier is armed
        // again by this read), so nothing here reads in vain.
        c.mayRead = false;
        const qint64 n = c.end->read(buffer, max);
        if (n > 0)
            got = n;
        else if (n < 0)
            Closed(c.socket); // every byte before the close has been read
    }
    FReading = false;
    const QList<QAbstractSocket*> closed = std::exchange(FClosedMeanwhile, {});
    for (QAbstractSocket* s : closed)
        if (IndexOf(s) >= 0)
            emit setupClosed(s);
    return got;
}

RelayCore::Fate RelayCore::Loss(Direction direction, Delivery why, qint64 size) {
    qint64& lost = FLost[int(direction)];
    lost += size;
    return Fate{why, lost == size, 0};
}

RelayCore::Fate RelayCore::Passed(Direction direction) {
    return Fate{Delivery::Sent, false, std::exchange(FLost[int(direction)], 0)};
}

RelayCore::Fate RelayCore::ToSetup(const char* data, qint64 size) {
    SocketEnd* to = FirstSetupEnd();
    if (!to || FirstSetup()->state() != QAbstractSocket::ConnectedState)
        return Loss(Direction::ToSetup, Delivery::NoSetup, size);
    // A setup program that stops reading must not make the wizard hold a serial device's
    // bytes without end.
    if (FLimits.overflow == Overflow::Drop && to->queued() + size > FLimits.towardSetup)
        return Loss(Direction::ToSetup, Delivery::Lost, size);
    if (to->write(data, size) < 0)
        return Loss(Direction::ToSetup, Delivery::NoSetup, size);
    return Passed(Direction::ToSetup);
}

RelayCore::Fate RelayCore::ToDevice(const char* data, qint64 size) {
    if (!FDevice)
        return Loss(Direction::ToDevice, Delivery::NoDevice, size);
    // What the device does not take at once it keeps, in order, behind its write watch.
    if (FDevice->write(data, size) < 0)
        return Fate{Delivery::Failed, false, 0};
    return Passed(Direction::ToDevice);
}

bool RelayCore::SetupHasRoom() {
    if (FLimits.overflow != Overflow::HoldDevice)
        return true;
    const SocketEnd* to = FirstSetupEnd();
    if (to && to->queued() > FLimits.towardSetup) {
        FDeviceHeld = true;
        return false;
    }
    return true;
}

void RelayCore::DeviceDrained() {
    if (!FSetupHeld || !FDevice || FDevice->queued() >= FLimits.towardDevice)
        return;
    FSetupHeld = false;
    emit deviceRoom();
}

void RelayCore::SetupDrained(QAbstractSocket* socket) {
    if (!FDeviceHeld || socket != FirstSetup())
        return;
    const SocketEnd* to = FirstSetupEnd();
    if (to && to->queued() > FLimits.towardSetup)
        return;
    FDeviceHeld = false;
    emit setupRoom();
}

void RelayCore::Reset() {
    FSetupHeld = false;
    FDeviceHeld = false;
}

void RelayCore::StartConnection(const Limits& limits) {
    FLimits = limits;
    Reset();
    FLost[0] = FLost[1] = 0;
}
