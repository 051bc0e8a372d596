// Crash reports: the rules for the reports' directory and what a report may show, and the
// real handler in real crashing processes. This executable is its own crashing child: run
// as "tst_crashhandler --crash KIND [--handler]" it installs the handler (or not) and
// crashes the way KIND says; the tests compare how it ended with and without the handler.
#include "PanelSim.h"
#include "WizardProcess.h"
#include "crash/CrashHandler.h"
#include "crash/CrashReport.h"
#include "crash/CrashSnapshot.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <pthread.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

// ---- the crashing child ----------------------------------------------------------------

namespace {

volatile int* volatile g_nowhere = nullptr;

// The sanitizers' own null check would end the process before the write faults.
__attribute__((noinline, no_sanitize("undefined"))) void crashByNullWrite() {
    *g_nowhere = 1;
}

__attribute__((noinline)) void crashByAbort() {
    std::abort();
}

__attribute__((noinline)) void throwFromSlot() {
    throw std::runtime_error("thrown from a slot");
}

__attribute__((noinline)) void crashOnSecondThread() {
    // Named as the modem dialer's thread is.
    pthread_setname_np(pthread_self(), "TRingThread");
    crashByNullWrite();
    asm volatile(""); // no tail call: this frame stays on the stack
}

int crashChild(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const QString kind = QString::fromLatin1(argv[2]);
    if (app.arguments().contains(QStringLiteral("--handler"))) {
        const QString helper = app.arguments().contains(QStringLiteral("--no-helper"))
                                   ? QString()
                                   : QStringLiteral(KESTROM_BINARY_DIR "/kestrom-crash-report");
        if (!CrashHandler::Install({CrashReport::Directory(), helper, QStringLiteral("9.9.9")}))
            return 3;
        CrashSnapshot::SetState(QStringLiteral("channel=cable; link=connected; port=/dev/ttyS9"));
        CrashSnapshot::SetSecret(QStringLiteral("Qz7w"));
        CrashSnapshot::AddLogLine(QStringLiteral("12:00:00.000 COM<<APP +CHECK_MASTER_CODE=1,\"Qz7w\""));
    }
    if (kind == QLatin1String("null"))
        crashByNullWrite();
    else if (kind == QLatin1String("abort"))
        crashByAbort();
    else if (kind == QLatin1String("thread"))
        std::thread(crashOnSecondThread).join();
    else if (kind == QLatin1String("slot")) {
        QTimer::singleShot(0, &app, [] { throwFromSlot(); });
        return app.exec();
    }
    return 4;
}

struct Ending {
    bool signalled = false;
    int value = -1; // the signal, or the exit status
    bool operator==(const Ending&) const = default;
};

QString describe(const Ending& e) {
    return e.signalled ? QStringLiteral("signal %1").arg(e.value) : QStringLiteral("exit %1").arg(e.value);
}

Ending runChild(const QStringList& args, const QString& stateHome) {
    QList<QByteArray> owned;
    owned << QByteArray(QCoreApplication::applicationFilePath().toLocal8Bit());
    for (const QString& a : args)
        owned << a.toLocal8Bit();
    std::vector<char*> argv;
    for (QByteArray& a : owned)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QList<QByteArray> envOwned;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "XDG_STATE_HOME=", 15) != 0)
            envOwned << QByteArray(*e);
    envOwned << ("XDG_STATE_HOME=" + stateHome.toLocal8Bit());
    std::vector<char*> envp;
    for (QByteArray& e : envOwned)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return {};
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return {true, WTERMSIG(status)};
    return {false, WEXITSTATUS(status)};
}

// Named frames: " #3 0x... in name(...)".
QStringList namedFrames(const QString& report) {
    static const QRegularExpression frame(QStringLiteral("^ #\\d+ 0x[0-9a-f]+ in ([^?].*)$"),
                                          QRegularExpression::MultilineOption);
    QStringList names;
    for (auto it = frame.globalMatch(report); it.hasNext();)
        names << it.next().captured(1);
    return names;
}

unsigned modeOf(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777u : 0u;
}

QString readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

} // namespace

// ---- the tests ---------------------------------------------------------------------------

class TestCrashHandler : public QObject {
    Q_OBJECT
  private slots:
    void directory_data() {
        QTest::addColumn<QString>("stateHome");
        QTest::addColumn<QString>("expected"); // ~ for the home directory
        QTest::newRow("XDG_STATE_HOME") << "/x/state"
                                        << "/x/state/kestrom/crashes";
        QTest::newRow("unset") << ""
                               << "~/.local/state/kestrom/crashes";
        QTest::newRow("relative is ignored") << "rel/state"
                                             << "~/.local/state/kestrom/crashes";
    }
    void directory() {
        QFETCH(QString, stateHome);
        QFETCH(QString, expected);
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", stateHome.toLocal8Bit());
        const QString dir = CrashReport::Directory();
        qputenv("XDG_STATE_HOME", saved);
        QCOMPARE(dir, expected.replace(QLatin1Char('~'), QDir::homePath()));
    }

    void reportsKeptAndSeen() {
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("a/crashes");
        QVERIFY(CrashReport::PrepareDirectory(dir));
        QCOMPARE(modeOf(dir), 0700u);
        QCOMPARE(CrashReport::Unseen(dir), QString());
        // 25 reports and files that are no reports.
        for (int i = 0; i < 25; ++i) {
            QFile f(QDir(dir).filePath(
                QStringLiteral("crash-20261210-1200%1-77.txt").arg(i, 2, 10, QLatin1Char('0'))));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        for (const char* other : {"crash-notes.txt", "crash-20261210-120000-77.txt~", "seen.bak"}) {
            QFile f(QDir(dir).filePath(QLatin1String(other)));
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QCOMPARE(CrashReport::Reports(dir).size(), 25);
        QCOMPARE(CrashReport::Unseen(dir), QStringLiteral("crash-20261210-120024-77.txt"));
        CrashReport::Prune(dir);
        const QStringList kept = CrashReport::Reports(dir);
        // Room for the next one within 20: the 19 newest stay, the others are untouched.
        QCOMPARE(kept.size(), CrashReport::Kept - 1);
        QCOMPARE(kept.first(), QStringLiteral("crash-20261210-120006-77.txt"));
        QVERIFY(QFile::exists(QDir(dir).filePath("crash-notes.txt")));
        // Seen once: neither it nor an older one comes again; a newer one does.
        CrashReport::MarkSeen(dir, CrashReport::Unseen(dir));
        QCOMPARE(CrashReport::Unseen(dir), QString());
        QFile newer(QDir(dir).filePath("crash-20261211-080000-5.txt"));
        QVERIFY(newer.open(QIODevice::WriteOnly));
        QCOMPARE(CrashReport::Unseen(dir), QStringLiteral("crash-20261211-080000-5.txt"));
    }

    void surplus_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("removed");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("19: room for one") << 19 << 0;
        QTest::newRow("20") << 20 << 1;
        QTest::newRow("30") << 30 << 11;
    }
    void surplus() {
        QFETCH(int, count);
        QFETCH(int, removed);
        QStringList names;
        for (int i = 0; i < count; ++i)
            names << QStringLiteral("crash-20260101-0000%1-1.txt").arg(i, 2, 10, QLatin1Char('0'));
        const QStringList gone = CrashReport::Surplus(names);
        QCOMPARE(gone, names.mid(0, removed)); // the oldest
    }

    void maskSecret_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("masked");
        QTest::newRow("command") << "COM<<APP +CHECK_MASTER_CODE=1,\"1234\""
                                 << "1234"
                                 << "COM<<APP +CHECK_MASTER_CODE=1,\"****\"";
        QTest::newRow("old dialogue") << "+id=Ab9z"
                                      << "Ab9z"
                                      << "+id=****";
        QTest::newRow("twice") << "1234 and 1234"
                               << "1234"
                               << "**** and ****";
        QTest::newRow("hex dump") << " 2B 69 64 3D 31 32 33 34 0D"
                                  << "1234"
                                  << " 2B 69 64 3D ** ** ** ** 0D";
        QTest::newRow("hex of letters") << " 41 62 39 7A"
                                        << "Ab9z"
                                        << " ** ** ** **";
        QTest::newRow("Cyrillic code") << "+id=Жж"
                                       << "Жж"
                                       << "+id=**";
        QTest::newRow("no code: as it is") << "+id=1234"
                                           << ""
                                           << "+id=1234";
        QTest::newRow("other text untouched") << "COM->APP OK"
                                              << "1234"
                                              << "COM->APP OK";
    }
    void maskSecret() {
        QFETCH(QString, line);
        QFETCH(QString, code);
        QFETCH(QString, masked);
        QCOMPARE(CrashReport::MaskSecret(line, code), masked);
    }

    void stateLine_data() {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("link");
        QTest::addColumn<QString>("where");
        QTest::addColumn<bool>("setup");
        QTest::addColumn<QString>("line");
        QTest::newRow("cable connected")
            << 2 << 2 << "/dev/ttyUSB0" << true
            << "channel=cable; link=connected; port=/dev/ttyUSB0; setup program running";
        QTest::newRow("IP idle") << 3 << 0 << "10.0.0.5:4001" << false
                                 << "channel=IP; link=idle; address=10.0.0.5:4001; setup program not running";
        QTest::newRow("modem redial, no port")
            << 1 << 3 << "" << true << "channel=modem V.110; link=redial; port=(none); setup program running";
        QTest::newRow("out of range")
            << 7 << 9 << "x" << false << "channel=channel 7; link=state 9; port=x; setup program not running";
    }
    void stateLine() {
        QFETCH(int, channel);
        QFETCH(int, link);
        QFETCH(QString, where);
        QFETCH(bool, setup);
        QFETCH(QString, line);
        QCOMPARE(CrashReport::StateLine(channel, link, where, setup), line);
    }

    void snapshot() {
        CrashSnapshot::Clear();
        char buf[CrashSnapshot::LineBytes];
        QCOMPARE(QByteArray(buf, qsizetype(CrashSnapshot::ReadState(buf, sizeof buf))),
                 QByteArray("(not known yet)"));
        CrashSnapshot::SetState("one");
        CrashSnapshot::SetState("two");
        CrashSnapshot::SetState("three");
        QCOMPARE(QByteArray(buf, qsizetype(CrashSnapshot::ReadState(buf, sizeof buf))), QByteArray("three"));
        // The tail keeps the last 50 lines, oldest first, masked with the code of their time.
        CrashSnapshot::SetSecret("4321");
        for (int i = 0; i < 60; ++i)
            CrashSnapshot::AddLogLine(QStringLiteral("line %1 code 4321").arg(i));
        QCOMPARE(CrashSnapshot::TailCount(), CrashSnapshot::TailLines);
        QCOMPARE(QByteArray(buf, qsizetype(CrashSnapshot::ReadTail(0, buf, sizeof buf))),
                 QByteArray("line 10 code ****"));
        QCOMPARE(QByteArray(buf, qsizetype(CrashSnapshot::ReadTail(49, buf, sizeof buf))),
                 QByteArray("line 59 code ****"));
        QCOMPARE(CrashSnapshot::ReadTail(50, buf, sizeof buf), std::size_t(0));
        // A long line is cut whole characters short of the slot, never inside one.
        CrashSnapshot::AddLogLine(QString(200, QChar(0x0416)));
        const QByteArray cut(buf, qsizetype(CrashSnapshot::ReadTail(49, buf, sizeof buf)));
        QCOMPARE(cut.size(), CrashSnapshot::LineBytes);
        QCOMPARE(QString::fromUtf8(cut), QString(CrashSnapshot::LineBytes / 2, QChar(0x0416)));
        CrashSnapshot::Clear();
    }

    void crashes_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("signal");
        QTest::addColumn<QString>("function");
        QTest::addColumn<QString>("more"); // another line the report must hold
        QTest::newRow("null write")
            << "null"
            << "Signal: SIGSEGV (11), address not mapped, fault address 0x0000000000000000"
            << "crashByNullWrite"
            << "Thread: GUI thread";
        QTest::newRow("abort") << "abort"
                               << "Signal: SIGABRT (6)"
                               << "crashByAbort"
                               << "Thread: GUI thread";
        QTest::newRow("exception from a slot")
            << "slot"
            << "Signal: SIGABRT (6)"
            << "throwFromSlot"
            << "Exception: std::terminate, std::runtime_error: thrown from a slot";
        QTest::newRow("second thread") << "thread"
                                       << "Signal: SIGSEGV (11)"
                                       << "crashOnSecondThread"
                                       << "Thread: modem dialer (TRingThread)";
    }
    void crashes() {
        QFETCH(QString, kind);
        QFETCH(QString, signal);
        QFETCH(QString, function);
        QFETCH(QString, more);
        QTemporaryDir tmp;
        const Ending without = runChild({"--crash", kind}, tmp.filePath("none"));
        QVERIFY2(without.value > 0, qPrintable(describe(without)));
        QVERIFY(!QDir(tmp.filePath("none")).exists());
        const Ending with = runChild({"--crash", kind, "--handler"}, tmp.path());
        QVERIFY2(with == without, qPrintable(describe(with) + " / " + describe(without)));

        const QString dir = tmp.filePath("kestrom/crashes");
        const QStringList reports = CrashReport::Reports(dir);
        QCOMPARE(reports.size(), 1);
        const QString path = QDir(dir).filePath(reports.first());
        QCOMPARE(modeOf(path), 0600u);
        QCOMPARE(modeOf(dir), 0700u);
        const QString report = readAll(path);
        QVERIFY2(report.contains(signal), qPrintable(report));
        QVERIFY2(report.contains(more), qPrintable(report));
        QVERIFY(report.contains("Version: 9.9.9\nQt: "));
        QVERIFY(report.contains("Connection: channel=cable; link=connected; port=/dev/ttyS9\n"));
        QVERIFY(report.contains("+CHECK_MASTER_CODE=1,\"****\""));
        QVERIFY(!report.contains("Qz7w"));
        const QStringList frames = namedFrames(report);
        // The function that crashed, with its file and line.
        QVERIFY2(
            !frames
                 .filter(QRegularExpression("(^|::)" + function + "\\(\\) at .*tst_crashhandler\\.cpp:\\d+ "))
                 .isEmpty(),
            qPrintable(report));
    }

    void withoutHelperTheAddressesStay() {
        QTemporaryDir tmp;
        const Ending with = runChild({"--crash", "null", "--handler", "--no-helper"}, tmp.path());
        QVERIFY(with.value > 0);
        const QString dir = tmp.filePath("kestrom/crashes");
        QCOMPARE(CrashReport::Reports(dir).size(), 1);
        const QString report = readAll(QDir(dir).filePath(CrashReport::Reports(dir).first()));
        QVERIFY2(QRegularExpression("\n #0 0x[0-9a-f]{16}\n #1 0x").match(report).hasMatch(),
                 qPrintable(report));
        // The map to name them by: this executable's own lines.
        QVERIFY(report.contains("Memory map"));
        QVERIFY(report.contains(QFileInfo(QCoreApplication::applicationFilePath()).fileName()));
    }

    void wizardKilledReportsOnceAtNextStart() {
        QTemporaryDir tmp;
        // The panel refuses the code: the dialogue ends there, and the code's line stays among
        // the log's last lines instead of being pushed out by a session's traffic.
        PanelSim panel;
        QVERIFY(panel.startPty());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.path());
        env.insert("XDG_STATE_HOME", tmp.filePath("state"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("KESTROM_BOXES_TO_STDERR", "1");
        env.insert("KESTROM_EXTRA_PORTS", panel.portName());
        env.insert("KESTROM_TEST_DRIVE",
                   QStringLiteral("channel=2 port=%1 code=Qz7w log connect").arg(panel.portName()));
        const QString dir = tmp.filePath("state/kestrom/crashes");
        {
            WizardProcess wizard({KESTROM_EXE}, env);
            QVERIFY(wizard.start());
            // The code went to the panel, the log showed it, and the refusal was shown.
            QVERIFY2(WizardProcess::waitFor(
                         [&] {
                             return !wizard.logBodies().filter("Qz7w").isEmpty() &&
                                    !wizard.lines().filter("BOX").isEmpty();
                         },
                         15000),
                     qPrintable(wizard.tail()));
            ::kill(pid_t(wizard.processId()), SIGSEGV);
            QVERIFY(wizard.waitForExit(15000));
            // Killed by the signal; in the sanitizers' build their handler ends it with status 1.
            QVERIFY(wizard.exitStatus() == QProcess::CrashExit || wizard.exitCode() != 0);
            QVERIFY(wizard.lines().filter("BOX [Ошибка] Мастер подключения в прошлый раз").isEmpty());
        }
        const QStringList reports = CrashReport::Reports(dir);
        QCOMPARE(reports.size(), 1);
        const QString path = QDir(dir).filePath(reports.first());
        const QString report = readAll(path);
        QVERIFY2(report.contains("Signal: SIGSEGV (11), sent by kill, from process "), qPrintable(report));
        QVERIFY(report.contains("Thread: GUI thread"));
        QVERIFY(report.contains("Version: 1."));
        QVERIFY2(QRegularExpression("\nConnection: channel=cable; link=\\w+; port=" +
                                    QRegularExpression::escape(panel.portName()) + "; setup program ")
                     .match(report)
                     .hasMatch(),
                 qPrintable(report));
        QVERIFY2(report.contains("CHECK_MASTER_CODE=1,\"****\""), qPrintable(report));
        const QStringList frames = namedFrames(report);
        QVERIFY2(
            !frames.filter(QRegularExpression("^main\\(\\) at .*main\\.cpp:\\d+ \\(kestrom\\+")).isEmpty(),
            qPrintable(report));
        QVERIFY2(!report.contains("Qz7w") && !report.contains(" 51 7A 37 77", Qt::CaseInsensitive),
                 qPrintable(report));

        // The next start shows it, once.
        QProcessEnvironment quiet = env;
        quiet.insert("KESTROM_TEST_DRIVE", "commands");
        const QString box = "BOX [Ошибка] Мастер подключения в прошлый раз завершился аварийно.";
        WizardProcess next({KESTROM_EXE}, quiet);
        QVERIFY(next.start());
        QVERIFY2(next.waitForLine("TEST window ", 10000), qPrintable(next.tail()));
        QCOMPARE(next.lines().filter(box).size(), 1);
        QVERIFY(next.lines().contains(path));
        // A report that came meanwhile is not shown by a second instance, which only says
        // that the wizard runs.
        QVERIFY(QFile::copy(path, QDir(dir).filePath("crash-29991231-235959-1.txt")));
        WizardProcess second({KESTROM_EXE}, quiet);
        QVERIFY(second.start());
        QVERIFY(second.waitForExit(10000));
        QCOMPARE(second.lines().filter("BOX").size(), 1);
        QVERIFY(!second.lines().filter("BOX [Предупреждение] Приложение уже запущено.").isEmpty());
        next.command("close");
        QVERIFY(next.waitForExit(10000));
        for (const int expected : {1, 0}) {
            WizardProcess later({KESTROM_EXE}, quiet);
            QVERIFY(later.start());
            QVERIFY2(later.waitForLine("TEST window ", 10000), qPrintable(later.tail()));
            QCOMPARE(later.lines().filter(box).size(), expected);
            later.command("close");
            QVERIFY(later.waitForExit(10000));
        }
    }
};

int main(int argc, char* argv[]) {
    if (argc >= 3 && std::strcmp(argv[1], "--crash") == 0)
        return crashChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestCrashHandler test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashhandler.moc"
