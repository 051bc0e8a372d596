// Serial port functions on real pseudo-terminals.
#include "PtyFixture.h"
#include "channels/COMUtils.h"
#include "channels/DosDevices.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

// Line settings are read back through termios2, the only interface that shows the
// non-classic speeds; it cannot share a file with <termios.h>.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Closes the port when the test leaves, whatever happened.
struct Port {
    COMHandle handle = INVALID_COM_HANDLE;
    ~Port() { CloseCOMPort(handle); }
};

struct termios2 lineSettings(int fd) {
    struct termios2 tio {};
    ioctl(fd, TCGETS2, &tio);
    return tio;
}

bool exclusiveFlag(int fd) {
    int flag = 0;
    return ioctl(fd, TIOCGEXCL, &flag) == 0 && flag != 0;
}

// What the program's side reads until count bytes arrived or the time is up.
QByteArray readPort(COMHandle handle, qsizetype count, int timeoutMs = 2000) {
    const QDeadlineTimer deadline(timeoutMs);
    QByteArray got;
    QByteArray buffer(COM_BUFFER_SIZE, '\0');
    while (got.size() < count) {
        const int n = ReadCOMData(handle, buffer.data());
        if (n < 0)
            break;
        if (n > 0) {
            got.append(buffer.constData(), n);
            continue;
        }
        pollfd p{handle, POLLIN, 0};
        if (deadline.hasExpired() || ::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0)
            break;
    }
    return got;
}

QByteArray allByteValues(int times) {
    QByteArray bytes;
    for (int t = 0; t < times; ++t)
        for (int i = 0; i < 256; ++i)
            bytes += static_cast<char>(i);
    return bytes;
}

} // namespace

class TestCOMUtils : public QObject {
    Q_OBJECT

  private slots:
    void cleanup() {
        SetCOMPortEnumeratorForTest({});
        qunsetenv("KESTROM_EXTRA_PORTS");
    }

    void openConfiguresLine_data() {
        QTest::addColumn<int>("baud");
        for (int baud :
             {600, 1200, 2400, 4800, 9600, 14400, 19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000})
            QTest::newRow(qPrintable(QString::number(baud))) << baud;
    }
    // Starts from a terminal nobody configured (echo, canonical mode, XON/XOFF, CR/NL
    // translation, two stop bits) so that every setting the open must make is tested.
    void openConfiguresLine() {
        QFETCH(int, baud);
        PtyFixture pty;
        QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
        QVERIFY(pty.setDriverDefaults());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), baud, port.handle));
        QVERIFY(port.handle >= 0);

        const struct termios2 tio = lineSettings(pty.slaveFd());
        QCOMPARE(int(tio.c_ospeed), baud);
        QCOMPARE(int(tio.c_ispeed), baud);
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(tio.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
        QCOMPARE(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
        QCOMPARE(tio.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), tcflag_t(0));
        QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));

        // Stays non-blocking (a blocking write into a full line would hang the GUI)
        // and is not inherited by the setup program we start.
        QVERIFY(fcntl(port.handle, F_GETFL) & O_NONBLOCK);
        QVERIFY(fcntl(port.handle, F_GETFD) & FD_CLOEXEC);
    }

    void hardwareFlowControlStaysAsFound_data() {
        QTest::addColumn<bool>("rtscts");
        QTest::newRow("off") << false;
        QTest::newRow("on") << true;
    }
    void hardwareFlowControlStaysAsFound() {
        QFETCH(bool, rtscts);
        PtyFixture pty;
        QVERIFY(pty.isValid());
        struct termios2 tio = lineSettings(pty.slaveFd());
        tio.c_cflag = rtscts ? (tio.c_cflag | CRTSCTS) : (tio.c_cflag & ~CRTSCTS);
        QCOMPARE(ioctl(pty.slaveFd(), TCSETS2, &tio), 0);
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        QCOMPARE(bool(lineSettings(pty.slaveFd()).c_cflag & CRTSCTS), rtscts);
    }

    // Bytes left from an earlier session must not reach the new handshake.
    void openPurgesStaleInput() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        QVERIFY(pty.write("stale"));
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        char buffer[COM_BUFFER_SIZE];
        QCOMPARE(ReadCOMData(port.handle, buffer), 0);
        QVERIFY(pty.write("fresh"));
        QCOMPARE(readPort(port.handle, 5), QByteArray("fresh"));
    }

    void openFails_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("no such device") << "device";
        QTest::newRow("no such path") << "path";
        QTest::newRow("regular file") << "file";
        QTest::newRow("directory") << "dir";
        QTest::newRow("character device, not a terminal") << "null";
        QTest::newRow("empty name") << "empty";
    }
    void openFails() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString name;
        if (kind == "device") {
            name = "ttyKESTROMNONE97";
        } else if (kind == "path") {
            name = dir.filePath("ttyNONE0");
        } else if (kind == "file") {
            name = dir.filePath("plain");
            QFile f(name);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (kind == "dir") {
            name = dir.path();
        } else if (kind == "null") {
            name = "/dev/null";
        }
        // Logs and shows nothing: the callers report the failure themselves.
        QTest::failOnWarning(QRegularExpression(".*"));
        COMHandle handle = 42;
        QVERIFY(!OpenCOMPort(name, 19200, handle));
        QCOMPARE(handle, INVALID_COM_HANDLE);
    }

    // As root TIOCEXCL lets a second open through; the lock must refuse it, and the
    // refused open must not clear the holder's exclusive flag on its way out.
    void busyPortIsRefused() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port first;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, first.handle));
        QVERIFY(exclusiveFlag(pty.slaveFd()));

        COMHandle second = 7;
        QVERIFY(!OpenCOMPort(pty.portName(), 19200, second));
        QCOMPARE(second, INVALID_COM_HANDLE);
        QVERIFY(!OpenCOMPort(pty.devicePath(), 19200, second)); // the same device by its other name
        QVERIFY(exclusiveFlag(pty.slaveFd()));

        QVERIFY(pty.write("ping"));
        QCOMPARE(readPort(first.handle, 4), QByteArray("ping"));

        // Closing lifts both the lock and the flag (a pseudo-terminal would otherwise
        // stay exclusive after the close).
        QVERIFY(CloseCOMPort(first.handle));
        QVERIFY(!exclusiveFlag(pty.slaveFd()));
        Port again;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, again.handle));
    }

    void readEmptyQueueReturnsZeroAtOnce() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        char buffer[COM_BUFFER_SIZE];
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(ReadCOMData(port.handle, buffer), 0);
        QCOMPARE(ReadCOMString(port.handle), QByteArray());
        QVERIFY(clock.elapsed() < 50);
    }

    void readStringTurnsNulIntoSpace() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        QVERIFY(pty.write(QByteArray("\x4F\x4B\x00\x0D\x0A", 5)));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += ReadCOMString(port.handle)).size() >= 5, 2000);
        QCOMPARE(got, QByteArray("\x4F\x4B\x20\x0D\x0A", 5));
    }

    // More than one read's worth arrives in pieces of at most 32768 bytes, none lost.
    void largeInputArrivesComplete() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 115200, port.handle));

        QByteArray sent(100 * 1024, Qt::Uninitialized);
        QRandomGenerator rng(20240611);
        for (char& c : sent)
            c = static_cast<char>(rng.bounded(256));

        QByteArray got;
        QByteArray buffer(COM_BUFFER_SIZE + 16, '\0');
        qsizetype written = 0;
        const QDeadlineTimer deadline(10000);
        while (got.size() < sent.size() && !deadline.hasExpired()) {
            const qsizetype w = pty.writeSome(sent.mid(written, 4096));
            QVERIFY(w >= 0);
            written += w;
            const int n = ReadCOMData(port.handle, buffer.data());
            QVERIFY(n >= 0 && n <= COM_BUFFER_SIZE);
            got.append(buffer.constData(), n);
            if (w == 0 && n == 0) {
                pollfd p[2] = {{port.handle, POLLIN, 0},
                               {pty.masterFd(), short(written < sent.size() ? POLLOUT : 0), 0}};
                ::poll(p, 2, static_cast<int>(deadline.remainingTime()));
            }
        }
        QCOMPARE(got.size(), sent.size());
        QVERIFY(got == sent);
    }

    // Guards the XON/XOFF fault: with the driver's IXON on, 0x11 and 0x13 of the
    // relayed data vanished; CR/NL translation and echo would alter others.
    void allByteValuesPassBothWays() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        QVERIFY(pty.setDriverDefaults());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        const QByteArray bytes = allByteValues(2);

        QVERIFY(pty.write(bytes));
        QCOMPARE(readPort(port.handle, bytes.size()).toHex(), bytes.toHex());

        QCOMPARE(WriteCOMString(port.handle, bytes), int(bytes.size()));
        QCOMPARE(pty.read(bytes.size()).toHex(), bytes.toHex());
        QCOMPARE(pty.readAvailable(), QByteArray()); // and nothing more (no echo, no CR added)
    }

    // An adapter pulled out mid-session: reads say -1, writes fail, the name is gone,
    // and nothing waits.
    void unpluggedPortFailsPromptly() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        QVERIFY(COMPortExists(pty.portName()));
        pty.unplug();

        QElapsedTimer clock;
        clock.start();
        char buffer[COM_BUFFER_SIZE];
        QCOMPARE(ReadCOMData(port.handle, buffer), -1);
        QCOMPARE(ReadCOMString(port.handle), QByteArray());
        const int w = WriteCOMString(port.handle, "+++");
        QVERIFY2(w == 0 || w == -1, qPrintable(QString::number(w)));
        QVERIFY(!COMPortExists(pty.portName()));
        QVERIFY(CloseCOMPort(port.handle));
        QCOMPARE(port.handle, INVALID_COM_HANDLE);
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    }

    // Platform fact the callers build on: a notifier on a hung-up descriptor fires
    // without end (one core at 100 %) until the caller disables it.
    void notifierOnHungUpPortFiresContinuously() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        pty.unplug();
        QSocketNotifier notifier(port.handle, QSocketNotifier::Read);
        int fired = 0;
        connect(&notifier, &QSocketNotifier::activated, this, [&] { ++fired; });
        QTRY_VERIFY_WITH_TIMEOUT(fired >= 1000, 2000);
        notifier.setEnabled(false);
    }

    // Nobody reads the far side: the write gives up after a short stall with what it
    // got through, and the close does not wait for the rest.
    void fullOutputDoesNotHang() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        const QByteArray big(1 << 20, 'x');
        QElapsedTimer clock;
        clock.start();
        const int written = WriteCOMString(port.handle, big);
        QVERIFY2(written > 0 && written < big.size(), qPrintable(QString::number(written)));
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(WriteCOMString(port.handle, "more"), 0); // still full: nothing went through

        clock.restart();
        QVERIFY(CloseCOMPort(port.handle));
        QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    }

    void writeToFullPortNeverWaits() {
        // The relay's write: what the driver takes now, 0 while full (no failure), -1 only
        // once the port is gone.
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        const QByteArray big(1 << 20, 'x');
        QElapsedTimer clock;
        clock.start();
        const int first = WriteCOMData(port.handle, big.constData(), int(big.size()));
        QVERIFY2(first > 0 && first < big.size(), qPrintable(QString::number(first)));
        // The kernel may still move a little towards the far side's buffer between two
        // writes; once that is full too, a write takes nothing and returns at once.
        int more = 0;
        for (int i = 0; i < 100 && (more = WriteCOMData(port.handle, big.constData(), int(big.size()))) > 0;
             ++i) {
        }
        QCOMPARE(more, 0);
        QVERIFY2(clock.elapsed() < 50, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!pty.readAvailable().isEmpty()); // the device reads: room again
        QVERIFY(WriteCOMData(port.handle, big.constData(), int(big.size())) > 0);
        pty.unplug();
        QCOMPARE(WriteCOMData(port.handle, big.constData(), int(big.size())), -1);
    }

    void closeTwiceThroughSameVariable() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        COMHandle handle = INVALID_COM_HANDLE;
        QVERIFY(CloseCOMPort(handle));
        QCOMPARE(handle, INVALID_COM_HANDLE);

        QVERIFY(OpenCOMPort(pty.portName(), 19200, handle));
        QVERIFY(CloseCOMPort(handle));
        QCOMPARE(handle, INVALID_COM_HANDLE);
        QVERIFY(CloseCOMPort(handle));
        QCOMPARE(handle, INVALID_COM_HANDLE);
        // The port really was released.
        Port again;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, again.handle));
    }

    // The adapter returns under the same name and the port opens and carries data again.
    void reopenAfterReplug() {
        PtyFixture pty;
        QVERIFY(pty.isValid());
        Port port;
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        pty.unplug();
        QVERIFY(!COMPortExists(pty.portName()));
        QVERIFY(!OpenCOMPort(pty.portName(), 19200, port.handle));
        QVERIFY(pty.replug());
        QVERIFY(COMPortExists(pty.portName()));
        QVERIFY(OpenCOMPort(pty.portName(), 19200, port.handle));
        QVERIFY(pty.write("back"));
        QCOMPARE(readPort(port.handle, 4), QByteArray("back"));
        QCOMPARE(WriteCOMString(port.handle, "ok"), 2);
        QCOMPARE(pty.read(2), QByteArray("ok"));
    }

    void enumeratorPresentsAndRemovesPorts() {
        PtyFixture a, b;
        QVERIFY(a.isValid() && b.isValid());
        QStringList present{a.portName(), b.portName()};
        SetCOMPortEnumeratorForTest([&present] { return present; });

        QStringList list{"stale entry"};
        GetCOMPortList(list, "");
        QCOMPARE(list, present);
        GetCOMPortList(list, "/no/such/prefix");
        QCOMPARE(list, QStringList());
        QVERIFY(COMPortExists(b.portName()));

        present.removeLast();
        GetCOMPortList(list, "");
        QCOMPARE(list, QStringList{a.portName()});
        // Gone from the list means gone, although its device is still there.
        QVERIFY(!COMPortExists(b.portName()));

        // A system that refuses its device names leaves the list as it was.
        SetCOMPortListFailureForTest(QStringLiteral("Отказано в доступе."));
        QString error;
        QVERIFY(!GetCOMPortList(list, "", &error));
        QCOMPARE(error, QStringLiteral("Отказано в доступе."));
        QCOMPARE(list, QStringList{a.portName()});
        SetCOMPortListFailureForTest({});

        // sysfs always answers.
        SetCOMPortEnumeratorForTest({});
        QVERIFY(GetCOMPortList(list, "", &error));
        QVERIFY(!list.contains(a.portName()));
        QVERIFY(COMPortExists(b.portName()));
    }

    // A simulator's port, named by the user, joins the list while it is present.
    void extraPortsFromEnvironment() {
        QTemporaryDir dir;
        PtyFixture sim(dir.filePath("ttySIM0"));
        QVERIFY(sim.isValid());
        const QString missing = dir.filePath("ttySIM1");
        qputenv("KESTROM_EXTRA_PORTS", (missing + "::" + sim.portName()).toLocal8Bit());
        QStringList list;
        GetCOMPortList(list, "");
        QCOMPARE(list.count(sim.portName()), 1);
        QVERIFY(!list.contains(missing));
        QVERIFY(!list.contains(""));
        GetCOMPortList(list, "tty");
        QVERIFY(!list.contains(sim.portName())); // the prefix applies to them, too

        sim.unplug();
        GetCOMPortList(list, "");
        QVERIFY(!list.contains(sim.portName()));

        // The test seam replaces the whole enumeration.
        QVERIFY(sim.replug());
        SetCOMPortEnumeratorForTest([] { return QStringList{"ttyX"}; });
        GetCOMPortList(list, "");
        QCOMPARE(list, QStringList{"ttyX"});
        qunsetenv("KESTROM_EXTRA_PORTS");
    }

    // COM1 used to be "present" while only COM10 was: names must match whole.
    void portExistsMatchesWholeNames() {
        QTemporaryDir dir;
        PtyFixture usb10(dir.filePath("ttyUSB10"));
        QVERIFY(usb10.isValid());
        const QString usb1 = dir.filePath("ttyUSB1");
        QVERIFY(QFile::link(usb10.devicePath(), usb1)); // a device node is there, too
        SetCOMPortEnumeratorForTest([&] { return QStringList{usb10.portName()}; });

        QVERIFY(COMPortExists(usb10.portName()));
        QVERIFY(!COMPortExists(usb1));
        QVERIFY(!COMPortExists(""));

        usb10.unplug(); // listed, but its symlink dangles
        QVERIFY(!COMPortExists(usb10.portName()));
    }

    void portExistsNeedsCharacterDevice_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("exists");
        QTest::newRow("pseudo-terminal link") << "pty" << true;
        QTest::newRow("pseudo-terminal node") << "node" << true;
        QTest::newRow("regular file") << "file" << false;
        QTest::newRow("directory") << "dir" << false;
        QTest::newRow("missing") << "missing" << false;
        QTest::newRow("dangling link") << "dangling" << false;
    }
    void portExistsNeedsCharacterDevice() {
        QFETCH(QString, kind);
        QFETCH(bool, exists);
        QTemporaryDir dir;
        PtyFixture pty;
        QVERIFY(pty.isValid());
        QString name = dir.filePath("port");
        if (kind == "pty")
            name = pty.portName();
        else if (kind == "node")
            name = pty.devicePath();
        else if (kind == "file")
            QVERIFY(QFile(name).open(QIODevice::WriteOnly));
        else if (kind == "dir")
            name = dir.path();
        else if (kind == "dangling")
            QVERIFY(QFile::link(dir.filePath("nothing"), name));
        QCOMPARE(COMPortExists(name), exists);
    }

    // The listing keeps device-backed ttys only, without the serial core's phantom
    // ttyS ports, in natural order.
    void sysfsListing() {
        QTemporaryDir sys;
        QDir root(sys.path());
        QVERIFY(root.mkpath("devices/serial8250"));
        const QString device = root.filePath("devices/serial8250");
        auto add = [&](const QString& name, bool hasDevice, const char* type) {
            QVERIFY(root.mkpath("class/tty/" + name));
            const QString base = root.filePath("class/tty/" + name);
            if (hasDevice)
                QVERIFY(QFile::link(device, base + "/device"));
            if (type) {
                QFile f(base + "/type");
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(type);
            }
        };
        add("ttyS0", true, "4\n");
        add("ttyS1", true, "0\n"); // phantom
        add("ttyS10", true, "4\n");
        add("ttyS2", true, "4\n");
        add("ttyUSB0", true, nullptr);
        add("ttyACM0", true, nullptr);
        add("tty0", false, nullptr);
        add("console", false, nullptr);
        add("ptmx", false, nullptr);
        QCOMPARE(GetSysfsCOMPorts(root.filePath("class/tty")),
                 (QStringList{"ttyACM0", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
        QCOMPARE(GetSysfsCOMPorts(root.filePath("no/such/dir")), QStringList());
    }
    // The Windows port list: the DOS device names, as the system gives them.
    void dosDeviceNames_data() {
        QTest::addColumn<QString>("list");
        QTest::addColumn<QStringList>("ports");
        auto nul = [](QStringList names) { return names.join(QChar(u'\0')) + QString(2, QChar(u'\0')); };
        QTest::newRow("other devices dropped, order kept")
            << nul({"COM10", "AUX", "COM3", "LPT1", "C:", "COM1", "PhysicalDrive0"})
            << QStringList{"COM10", "COM3", "COM1"};
        QTest::newRow("prefix case-sensitive")
            << nul({"com7", "Com8", "COM9", "cOM2"}) << QStringList{"COM9"};
        QTest::newRow("prefix only") << nul({"COMMON", "XCOM1"}) << QStringList{"COMMON"};
        QTest::newRow("ends at the first empty name")
            << QStringLiteral("COM1") + QChar(u'\0') + QChar(u'\0') + QStringLiteral("COM2") + QChar(u'\0')
            << QStringList{"COM1"};
        QTest::newRow("cut name without its NUL")
            << QStringLiteral("COM4") + QChar(u'\0') + QStringLiteral("COM1") << QStringList{"COM4"};
        QTest::newRow("empty") << QString() << QStringList();
    }
    void dosDeviceNames() {
        QFETCH(QString, list);
        QFETCH(QStringList, ports);
        QCOMPARE(DosDeviceNamesWithPrefix(list, "COM"), ports);
    }

    // The list is asked for with a buffer that grows until it fits; the system either names
    // the size it needs or only says the buffer is too small.
    void dosDeviceListGrows_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("namesSize");
        QTest::addColumn<quint32>("failure");
        QTest::addColumn<QList<quint32>>("capacities");
        QTest::newRow("fits") << 300 << false << 0u << QList<quint32>{5120};
        QTest::newRow("fits exactly") << 5120 << false << 0u << QList<quint32>{5120};
        QTest::newRow("longer, size unknown")
            << 7500 << false << 0u << QList<quint32>{5120, 6144, 7168, 8192};
        QTest::newRow("longer, size named") << 7500 << true << 0u << QList<quint32>{5120, 7500};
        QTest::newRow("access denied") << 300 << false << 5u << QList<quint32>{5120};
    }
    void dosDeviceListGrows() {
        QFETCH(int, length);
        QFETCH(bool, namesSize);
        QFETCH(quint32, failure);
        QFETCH(QList<quint32>, capacities);
        // Names "COM<i>" separated by NULs, the whole list of length characters with its end.
        QString devices;
        for (int i = 1; devices.size() < length - 12; ++i)
            devices += QStringLiteral("COM%1").arg(i) + QChar(u'\0');
        devices += QString(length - 1 - devices.size(), u'X') + QChar(u'\0');
        QCOMPARE(devices.size(), length);
        QList<quint32> asked;
        const DosDeviceQuery query = [&](char16_t* buffer, std::uint32_t capacity) {
            asked.append(capacity);
            if (failure != 0)
                return DosDeviceAnswer{0, failure};
            if (std::uint32_t(devices.size()) > capacity)
                return DosDeviceAnswer{namesSize ? std::uint32_t(devices.size()) : 0,
                                       ErrorInsufficientBuffer};
            std::copy(devices.utf16(), devices.utf16() + devices.size(), buffer);
            return DosDeviceAnswer{std::uint32_t(devices.size()), 0};
        };
        QString list = "stale";
        std::uint32_t error = 0;
        QCOMPARE(QueryDosDeviceList(query, list, error), failure == 0);
        QCOMPARE(asked, capacities);
        QCOMPARE(error, failure);
        QCOMPARE(list, failure == 0 ? devices : QString());
        if (failure == 0)
            QVERIFY(DosDeviceNamesWithPrefix(list, "COM").size() > length / 8);
    }

    // A list that never fits ends in an error rather than an endless loop.
    void dosDeviceListNeverFits() {
        int calls = 0;
        const DosDeviceQuery query = [&](char16_t*, std::uint32_t) {
            ++calls;
            return DosDeviceAnswer{0, ErrorInsufficientBuffer};
        };
        QString list;
        std::uint32_t error = 0;
        QVERIFY(!QueryDosDeviceList(query, list, error));
        QCOMPARE(error, ErrorInsufficientBuffer);
        QVERIFY(calls > 1);
    }

    // A port's presence on Windows: the friendly names of the Ports class as "<index>: <name>"
    // lines, searched for the name with case ignored.
    void friendlyNames_data() {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("found");
        const QStringList usb{"Communications Port (COM1)", "USB Serial Port (COM10)"};
        QTest::newRow("listed") << usb << "COM10" << true;
        QTest::newRow("lower case") << usb << "com1" << true;
        QTest::newRow("COM1 within COM10") << QStringList{"USB Serial Port (COM10)"} << "COM1" << true;
        QTest::newRow("adapter gone") << QStringList{"Communications Port (COM1)"} << "COM3" << false;
        QTest::newRow("no names (Wine)") << QStringList() << "COM12" << false;
        QTest::newRow("a name without its port")
            << QStringList{"", "ECP Printer Port (LPT1)"} << "COM1" << false;
        QTest::newRow("empty port name") << usb << "" << false;
    }
    void friendlyNames() {
        QFETCH(QStringList, names);
        QFETCH(QString, port);
        QFETCH(bool, found);
        QCOMPARE(FriendlyNamesMention(FriendlyNameLines(names), port), found);
    }

    void friendlyNameLines() {
        QCOMPARE(FriendlyNameLines({"Communications Port (COM1)", "", "USB Serial Port (COM10)"}),
                 (QStringList{"0: Communications Port (COM1)", "1: ", "2: USB Serial Port (COM10)"}));
    }
};

QTEST_GUILESS_MAIN(TestCOMUtils)
#include "tst_comutils.moc"
