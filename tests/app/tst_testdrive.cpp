// The test drive (KESTROM_TEST_DRIVE) that lets a test run the real program as a process:
// its request rules, and a whole cable session of the Linux program driven through it, the
// same session the Windows build runs under Wine (tests/windows/tst_wine.cpp).
#include "PanelSim.h"
#include "TestForms.h"
#include "WizardProcess.h"
#include "app/TestDrive.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using TestDrive::Request;

class TestTestDrive : public QObject {
    Q_OBJECT
  private slots:
    void parse_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("channel"); // -1: not given
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("server");    // 0: not given
        QTest::addColumn<QString>("flags"); // l: log, c: connect, m: commands
        QTest::newRow("everything") << "channel=2 port=COM5 code=1234 server=40001 log connect commands"
                                    << "" << 2 << "COM5"
                                    << "" << 40001 << "lcm";
        QTest::newRow("nothing: only the reports") << ""
                                                   << "" << -1 << ""
                                                   << "" << 0 << "";
        QTest::newRow("spaces around") << "  connect   channel=3  address=10.0.0.5:4001 "
                                       << "" << 3 << ""
                                       << "10.0.0.5:4001" << 0 << "c";
        QTest::newRow("a port that is a path") << "port=/tmp/x/ttySIM0"
                                               << "" << -1 << "/tmp/x/ttySIM0"
                                               << "" << 0 << "";
        QTest::newRow("channel beyond the box") << "channel=4"
                                                << "bad field \"channel=4\"" << -1 << ""
                                                << "" << 0 << "";
        QTest::newRow("channel not a number") << "channel=x"
                                              << "bad field \"channel=x\"" << -1 << ""
                                              << "" << 0 << "";
        QTest::newRow("empty value") << "port= connect"
                                     << "bad field \"port=\"" << -1 << ""
                                     << "" << 0 << "";
        QTest::newRow("address without port") << "address=10.0.0.5"
                                              << "bad field \"address=10.0.0.5\"" << -1 << ""
                                              << "" << 0 << "";
        QTest::newRow("address port 0") << "address=10.0.0.5:0"
                                        << "bad field \"address=10.0.0.5:0\"" << -1 << ""
                                        << "" << 0 << "";
        QTest::newRow("server beyond 65535") << "server=65536"
                                             << "bad field \"server=65536\"" << -1 << ""
                                             << "" << 0 << "";
        QTest::newRow("unknown field") << "connect click"
                                       << "bad field \"click\"" << -1 << ""
                                       << "" << 0 << "";
        QTest::newRow("flag with a value") << "log=1"
                                           << "bad field \"log=1\"" << -1 << ""
                                           << "" << 0 << "";
    }
    void parse() {
        QFETCH(QString, text);
        QFETCH(QString, error);
        QFETCH(int, channel);
        QFETCH(QString, port);
        QFETCH(QString, address);
        QFETCH(int, server);
        QFETCH(QString, flags);
        const Request r = TestDrive::Parse(text);
        QCOMPARE(r.error, error);
        // A refused request carries nothing that could be carried out.
        QCOMPARE(r.channel.value_or(-1), channel);
        QCOMPARE(r.port, port);
        QCOMPARE(r.address, address);
        QCOMPARE(int(r.server.value_or(0)), server);
        QCOMPARE(r.log, flags.contains(u'l'));
        QCOMPARE(r.connect, flags.contains(u'c'));
        QCOMPARE(r.commands, flags.contains(u'm'));
    }

    void escape_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("escaped");
        QTest::newRow("plain") << "COM->APP OK"
                               << "COM->APP OK";
        QTest::newRow("Cyrillic stays") << " Оболочка подключилась к мосту."
                                        << " Оболочка подключилась к мосту.";
        QTest::newRow("line ends and NUL") << QString::fromLatin1("A\r\nB\0C", 6) << "A\\x0d\\x0aB\\x00C";
        QTest::newRow("DEL") << QString(QChar(0x7f)) << "\\x7f";
    }
    void escape() {
        QFETCH(QString, line);
        QFETCH(QString, escaped);
        QCOMPARE(TestDrive::Escape(line), escaped);
    }

    void wholeSessionOfTheProgram() {
        // The Linux program as a process: the panel on a pseudo-terminal named through
        // KESTROM_EXTRA_PORTS, the sample setup program beside it (build/setup.ini).
        QTemporaryDir tmp;
        PanelSim panel;
        QVERIFY(panel.startPty());
        const QString port = FreeTcpPortText();
        QFile script(tmp.filePath("script.txt"));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(WholeSessionScript());
        script.close();
        const QString record = tmp.filePath("record.txt");

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_EXTRA_PORTS", panel.portName());
        env.insert("KESTROM_SETUP_PORT", port);
        env.insert("KESTROM_SETUP_MODE", "script");
        env.insert("KESTROM_SETUP_SCRIPT", script.fileName());
        env.insert("KESTROM_SETUP_RECORD", record);
        env.insert("KESTROM_TEST_DRIVE",
                   QStringLiteral("channel=2 port=%1 code=1234 server=%2 log connect commands")
                       .arg(panel.portName(), port));
        WizardProcess wizard({KESTROM_EXE}, env);
        QVERIFY(wizard.start());
        QVERIFY2(wizard.waitForLine("TEST channel ", 10000), qPrintable(wizard.tail()));
        QVERIFY(wizard.reported("TEST window ").startsWith(QStringLiteral("Мастер подключения v.1.")));
        QVERIFY(wizard.reported("TEST ports ").split(u',').contains(panel.portName()));

        const QString failure = RunWholeCableSession(wizard, panel, record);
        QVERIFY2(failure.isEmpty(), qPrintable(failure + "\n" + wizard.tail()));

        // Closing the window ends the program and keeps the port and the channel.
        wizard.command("close");
        QVERIFY(wizard.waitForExit(10000));
        QCOMPARE(wizard.exitStatus(), QProcess::NormalExit);
        QCOMPARE(wizard.exitCode(), 0);
        QSettings saved(tmp.filePath("Norvak/Kestrom.conf"), QSettings::IniFormat);
        QCOMPARE(saved.value("COM").toString(), panel.portName());
        QCOMPARE(saved.value("CHANNEL").toInt(), 2);
        QVERIFY(wizard.lines().filter("BOX").isEmpty());
    }

    void portNotInTheListIsReported() {
        QTemporaryDir tmp;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_TEST_DRIVE", "channel=2 port=ttyNOPE log connect commands");
        WizardProcess wizard({KESTROM_EXE}, env);
        QVERIFY(wizard.start());
        QVERIFY2(wizard.waitForLine("TEST error ", 10000), qPrintable(wizard.tail()));
        QCOMPARE(wizard.reported("TEST error "), QStringLiteral("port ttyNOPE is not in the list"));
        wizard.command("close");
        QVERIFY(wizard.waitForExit(10000));
        // Nothing was clicked: no port was opened, no box was shown.
        QVERIFY(wizard.logBodies().filter("COM порт").isEmpty());
        QVERIFY(wizard.lines().filter("BOX").isEmpty());
    }

  private:
    static QString FreeTcpPortText() { return QString::number(FreeTcpPort()); }
};

QTEST_MAIN(TestTestDrive)
#include "tst_testdrive.moc"
