// The relay's rules, the same on every channel: between the setup program's connections (in
// accept order) and the device (the serial port, or the panel's socket).
//
//  - Bounded both ways. The setup program's connections are not read while the device holds
//    Limits::towardDevice bytes not sent yet: TCP flow control then slows the setup program
//    to the device's pace. Toward the setup program, a panel on TCP is not read while the
//    setup program's connection holds Limits::towardSetup (HoldDevice); a serial line cannot
//    be held back, so its bytes beyond that are dropped, counted and reported (Drop).
//  - In order across connections. A restarted setup program connects before its old
//    connection has been read to the end; the new connection's bytes wait until every byte
//    of the old one has gone, or the two would reach the device interleaved.
//  - The device's bytes go to the first connection still open.
//
// The form's handlers call these operations and keep their log lines; nothing here knows
// the form, a channel or a widget.
#pragma once

#include "relay/RelayEnd.h"

#include <QList>
#include <QObject>

class QAbstractSocket;

class RelayCore : public QObject {
    Q_OBJECT
  public:
    // What becomes of the device's bytes while the setup program does not take them.
    enum class Overflow {
        HoldDevice, // the device is not read; TCP holds the panel back
        Drop,       // they are dropped and counted: a serial line cannot be held back
    };
    struct Limits {
        qint64 towardDevice = 256 * 1024;
        qint64 towardSetup = 16 * 1024 * 1024;
        Overflow overflow = Overflow::Drop;
    };
    // What became of a piece of bytes, either way.
    enum class Delivery {
        Sent,     // handed on
        Held,     // not taken now: its sender is held back until the other side has room
        NoSetup,  // no connection of the setup program to hand it to: lost
        NoDevice, // no device to hand it to (none yet, or being reconnected): lost
        Lost,     // dropped: the setup program does not keep up and the device cannot wait
        Ended,    // the connection ended before it could go on: lost
        Failed,   // the device refused it: the device is gone (its channel deals with that)
    };
    // A piece's fate. A loss (NoSetup, NoDevice, Lost) is counted until a piece goes that
    // way again: lossBegins marks its first piece, lostBefore on the next Sent its count.
    struct Fate {
        Delivery delivery = Delivery::Sent;
        bool lossBegins = false;
        qint64 lostBefore = 0;
    };
    enum class Direction { ToDevice, ToSetup };

    explicit RelayCore(QObject* parent = nullptr);
    ~RelayCore() override;

    void SetLimits(const Limits& limits) { FLimits = limits; }
    const Limits& limits() const { return FLimits; }

    // ---- the setup program's connections ------------------------------------------------
    // A connection just accepted, an unbuffered socket; it goes last. The core reports
    // what it hears of it with setupReadable and setupClosed.
    void AddSetup(QAbstractSocket* socket);
    // Forgets an ended connection (it is the caller's to delete).
    void RemoveSetup(QAbstractSocket* socket);
    // Closes every connection at once (the caller hears nothing more of them and they are
    // deleted later); bytes still in them are lost.
    void DropSetup();
    QList<QAbstractSocket*> SetupSockets() const;
    int SetupCount() const { return int(FSetup.size()); }
    // The first connection still open, or null.
    QAbstractSocket* FirstSetup() const;
    SocketEnd* FirstSetupEnd() const;
    // Whether a connection older than socket still has bytes on their way in.
    bool EarlierSetupPending(const QAbstractSocket* socket) const;

    // ---- the device ---------------------------------------------------------------------
    // The device's end while there is one (not owned); null while there is none, e.g. a
    // panel being reconnected: the setup program's bytes are then read and dropped.
    void SetDevice(RelayEnd* device);
    RelayEnd* Device() const { return FDevice; }

    // ---- moving bytes -------------------------------------------------------------------
    // The setup program's next bytes for the device, at most max: from the oldest
    // connection that may be read, and no more than the device has room for below
    // towardDevice. 0 when there is nothing to take now; when that is for want of room, the
    // setup program is held back until deviceRoom. Connections found closed are reported
    // with setupClosed before this returns.
    qint64 ReadSetup(char* buffer, qint64 max);
    // The device's bytes for the setup program's first connection.
    Fate ToSetup(const char* data, qint64 size);
    // The setup program's bytes (taken by ReadSetup) for the device.
    Fate ToDevice(const char* data, qint64 size);
    // HoldDevice: whether the device may be read now. False while the first connection
    // holds more than towardSetup; the device is then held back until setupRoom.
    bool SetupHasRoom();
    // Device bytes dropped since they last reached the setup program.
    qint64 LostBytes() const { return FLost[int(Direction::ToSetup)]; }
    // The setup program, or the device, is held back for want of room on the other side.
    bool SetupHeld() const { return FSetupHeld; }
    bool DeviceHeld() const { return FDeviceHeld; }
    // Nothing held: a device (re)connected. A loss goes on being counted.
    void Reset();
    // A new connection on these limits: nothing held, nothing lost.
    void StartConnection(const Limits& limits);

  signals:
    // A connection of the setup program has something to read.
    void setupReadable(QAbstractSocket* socket);
    // The list of the setup program's connections changed: one added or removed, or all
    // dropped (not when the server deletes them itself, at its end).
    void setupCountChanged(int count);
    // A connection of the setup program has ended (its far side closed it after its last
    // byte was read, or Qt gave it up after an error).
    void setupClosed(QAbstractSocket* socket);
    // The device has room again for the setup program's bytes, which were held back.
    void deviceRoom();
    // The setup program's connection has room again for the device's bytes, held back.
    void setupRoom();

  private:
    struct Connection {
        QAbstractSocket* socket;
        SocketEnd* end;
        bool mayRead = false; // heard of input not read yet
        bool closed = false;  // reported through setupClosed
    };
    qsizetype IndexOf(const QAbstractSocket* socket) const;
    void Closed(QAbstractSocket* socket);
    void DeviceDrained();
    void SetupDrained(QAbstractSocket* socket);

    Limits FLimits;
    QList<Connection> FSetup;
    RelayEnd* FDevice = nullptr;
    Fate Loss(Direction direction, Delivery why, qint64 size);
    Fate Passed(Direction direction);
    qint64 FLost[2] = {0, 0};
    bool FSetupHeld = false;
    bool FDeviceHeld = false;
    // ReadSetup runs: closes it meets are reported once it is done.
    bool FReading = false;
    QList<QAbstractSocket*> FClosedMeanwhile;
};
