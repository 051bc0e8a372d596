// A pseudo-terminal presented to the program as a serial port.
//
// portName() is a symlink in a temporary directory; the program opens it like
// /dev/ttyUSB0. The test plays the device on the master side. Write device data only
// after the program has opened the port: opening purges both queues.
//
//   PtyFixture port;
//   QVERIFY(port.isValid());
//   OpenCOMPort(port.portName(), 19200, handle);
//   port.write("OK\r\n");                 // the device answers
//   QCOMPARE(port.read(5), "+rb\r");      // what the program sent
//   port.unplug();                        // the adapter is pulled: reads -1, name dangles
//   port.replug();                        // back under the same name
#pragma once

#include "PanelSim.h"

#include <QByteArray>
#include <QString>

class PtyFixture {
  public:
    // linkPath empty: "ttySIM0" in a temporary directory removed with the fixture.
    explicit PtyFixture(const QString& linkPath = {});

    bool isValid() const { return m_pty.isPlugged(); }
    QString errorString() const { return m_pty.errorString(); }
    QString portName() const { return m_pty.linkPath(); }
    QString devicePath() const { return m_pty.devicePath(); }
    int masterFd() const { return m_pty.masterFd(); }
    // The slave kept open by the fixture; the line settings the program made are
    // visible through it (they belong to the terminal, not to a descriptor).
    int slaveFd() const { return m_pty.slaveFd(); }

    // Device to program: writes all bytes, waiting at most timeoutMs for room.
    bool write(const QByteArray& bytes, int timeoutMs = 2000);
    // As much as the pseudo-terminal takes now, without waiting; -1 on error.
    qsizetype writeSome(const QByteArray& bytes);
    // Program to device: whatever has arrived, without waiting.
    QByteArray readAvailable();
    // Waits (in poll, not in the event loop) until count bytes arrived or timeoutMs
    // passed; returns what arrived. Use readAvailable() with QTRY_* instead when the
    // code under test must run on this thread meanwhile.
    QByteArray read(qsizetype count, int timeoutMs = 2000);

    // Line settings of a terminal nobody configured: canonical mode, echo, CR/NL
    // translation, XON/XOFF. OpenCOMPort has to undo all of them.
    bool setDriverDefaults();

    // Pulls the adapter: the program's descriptor hangs up, the name dangles.
    void unplug() { m_pty.unplug(); }
    // Plugs it back: a new pseudo-terminal under the same name.
    bool replug() { return m_pty.plug(); }

  private:
    PseudoTerminal m_pty;
};
