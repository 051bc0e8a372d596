// The traffic log: line layout, cap, splitting, hex dump, saving and worker-thread lines.
#include "TestForms.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "log/LogFormat.h"
#include "log/ThreadLog.h"
#include "log/TimeFuncs.h"

#include <QFile>
#include <QRegularExpression>
#include <QScrollBar>
#include <QtTest>

class TestLog : public QObject {
    Q_OBJECT
    std::unique_ptr<FormsFixture> fx;

  private slots:
    void init() {
        fx = std::make_unique<FormsFixture>();
        fx->Create();
        LOGForm->show();
    }
    void cleanup() { fx.reset(); }

    void timeStampLayout() {
        static const QRegularExpression re(
            QStringLiteral("^\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}$"));
        QVERIFY2(re.match(TimeStamp()).hasMatch(), qPrintable(TimeStamp()));
    }

    void lineFormats() {
        QCOMPARE(LogFormat::guiLine("S", "", "x"), QStringLiteral("S:  x"));
        QCOMPARE(LogFormat::guiLine("S", "COM->TCP", "x"), QStringLiteral("S: COM->TCP x"));
        QCOMPARE(LogFormat::threadLine("S", "", "x"), QStringLiteral("S: x"));
        QCOMPARE(LogFormat::threadLine("S", "<<", "AT"), QStringLiteral("S:<< AT"));
    }

    void splitting_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("plain") << "abc" << QStringList{"abc"};
        QTest::newRow("CR LF") << "A\r\nB" << QStringList{"A", "B"};
        QTest::newRow("lone LF without CR stays inside") << "A\nB" << QStringList{"A\nB"};
        QTest::newRow("lone CR") << "A\rB" << QStringList{"A", "B"};
        QTest::newRow("LF once a CR is present") << "A\rB\nC" << QStringList{"A", "B", "C"};
        QTest::newRow("trailing CR adds nothing") << "A\r" << QStringList{"A"};
        QTest::newRow("two breaks give an empty line") << "A\r\n\r\nB" << QStringList{"A", "", "B"};
        QTest::newRow("NUL ends the text") << QString("AB") + QChar(0) + "CD" << QStringList{"AB"};
        QTest::newRow("NUL drops later lines")
            << QString("A\r\nB") + QChar(0) + "\r\nC" << QStringList{"A", "B"};
        QTest::newRow("empty") << "" << QStringList{""};
        // Whether a text is split is decided on all of it; the NUL cuts only afterwards.
        QTest::newRow("CR behind the NUL still splits at the LF")
            << QString("A\nB") + QChar(0) + "\rC" << QStringList{"A", "B"};
        QTest::newRow("NUL then CR: no line at all") << QString(QChar(0)) + "\rC" << QStringList{};
        QTest::newRow("NUL first, no CR: one empty line") << QString(QChar(0)) + "C" << QStringList{""};
        QTest::newRow("LF and NUL, no CR: one line holding the LF")
            << QString("A\nB") + QChar(0) + "C" << QStringList{"A\nB"};
        QTest::newRow("break right before the NUL") << QString("A\r") + QChar(0) + "\rB" << QStringList{"A"};
    }
    void splitting() {
        QFETCH(QString, text);
        QFETCH(QStringList, lines);
        QCOMPARE(LogFormat::splitLines(text), lines);
    }

    void hexDump_data() {
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("lines");
        const QString fifteen = " 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E";
        QTest::newRow("0 bytes: one empty line") << 0 << QStringList{""};
        QTest::newRow("15 bytes: one line") << 15 << QStringList{fifteen};
        QTest::newRow("16 bytes: 15 and 1") << 16 << QStringList{fifteen, " 0F"};
        QTest::newRow("31 bytes: 15, 15, 1")
            << 31 << QStringList{fifteen, " 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D", " 1E"};
    }
    void hexDump() {
        QFETCH(int, count);
        QFETCH(QStringList, lines);
        QByteArray data;
        for (int i = 0; i < 64; ++i)
            data += char(i);
        QCOMPARE(LogFormat::hexDumpLines(data, count), lines);
        QCOMPARE(LogFormat::hexDumpLines(QByteArray("\x02\x0a\xff", 3), 3), QStringList{" 02 0A FF"});
    }

    void addLogWritesGuiLines() {
        MainKestromForm->AddLog("A\r\nB", "COM->APP");
        MainKestromForm->LogHexDump(QByteArray("\x02\x0a\xff", 3), 3);
        MainKestromForm->LogFmt("Ошибка сокета %d", {10061});
        const QStringList lines = LogLines();
        QCOMPARE(lines.size(), 4);
        QCOMPARE(LogBody(lines[0]), QStringLiteral("COM->APP A"));
        QCOMPARE(LogBody(lines[1]), QStringLiteral("COM->APP B"));
        QCOMPARE(lines[2].mid(23), QStringLiteral(":   02 0A FF"));
        QCOMPARE(LogBody(lines[3]), QStringLiteral(" Ошибка сокета 10061"));
    }

    void hiddenWindowRecordsNothing() {
        LOGForm->hide();
        MainKestromForm->AddLog("lost", "");
        QCOMPARE(LOGForm->Log->count(), 0);
    }

    void capIsTestedLineByLine() {
        for (int i = 0; i < 2000; ++i)
            LOGForm->Log->addItem(QStringLiteral("x"));
        MainKestromForm->AddLog("one", "");
        QCOMPARE(LOGForm->Log->count(), 2001); // 2000 grows to 2001
        MainKestromForm->AddLog("two", "");
        QCOMPARE(LOGForm->Log->count(), 1); // 2001 is cleared before the line
        QCOMPARE(LogBody(LogLines()[0]), QStringLiteral(" two"));

        LOGForm->Log->clear();
        for (int i = 0; i < 2000; ++i)
            LOGForm->Log->addItem(QStringLiteral("x"));
        MainKestromForm->AddLog("a\rb\rc", "");
        // "a" makes 2001, "b" finds more than 2000 and clears, "c" follows it.
        QCOMPARE(LogLines().size(), 2);
        QCOMPARE(LogBody(LogLines()[0]), QStringLiteral(" b"));
    }

    void autoscrollOnlyWhenTicked() {
        LOGForm->resize(635, 300);
        for (int i = 0; i < 200; ++i)
            MainKestromForm->AddLog(QString::number(i), "");
        QScrollBar* bar = LOGForm->Log->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), 0);
        LOGForm->AutiscrollCheckBox->setChecked(true);
        MainKestromForm->AddLog("end", "");
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void saveRoundTrip() {
        MainKestromForm->AddLog("первая", "");
        MainKestromForm->AddLog("second", "TCP->COM");
        const QString path = fx->tempDir() + "/traffic.log";
        Platform::SetSaveFileNameHandler([&] { return path; });
        LOGForm->N2Click();
        Platform::SetSaveFileNameHandler({});
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        QByteArray expected;
        for (const QString& l : LogLines())
            expected += l.toUtf8() + "\r\n";
        QCOMPARE(bytes, expected);
        // It shows the master code: readable by this user alone, even where it replaces a
        // file others could read.
        QCOMPARE(ModeOf(path), 0600);
        QVERIFY(f.setPermissions(f.permissions() | QFile::ReadOther | QFile::ReadGroup));

        // "Очистить" then "Сохранить" writes an empty file over the old one.
        LOGForm->N1Click();
        Platform::SetSaveFileNameHandler([&] { return path; });
        LOGForm->N2Click();
        Platform::SetSaveFileNameHandler({});
        QCOMPARE(QFileInfo(path).size(), 0);
        QCOMPARE(ModeOf(path), 0600);
    }

    void saveFailureShowsReasonAndKeepsList() {
        MainKestromForm->AddLog("keep me", "");
        Platform::SetSaveFileNameHandler([] { return QStringLiteral("/nonexistent-dir/x.log"); });
        LOGForm->N2Click();
        Platform::SetSaveFileNameHandler({});
        QCOMPARE(fx->boxes.boxes.size(), 1);
        QCOMPARE(fx->boxes.boxes[0].caption, QStringLiteral("Ошибка"));
        QVERIFY(fx->boxes.boxes[0].text.contains("/nonexistent-dir/x.log"));
        QCOMPARE(LogLines().size(), 1);
    }

    void workerLinesInterleaveInOrder() {
        // The worker waits for each of its lines, so they land between GUI lines in order,
        // with one space after the colon, even while the window is hidden.
        const auto toLog = [](const QString& line) { SyncLog(LOGForm->Log, line); };
        struct Worker : QThread {
            explicit Worker(TThreadLogger::Sink sink) : logger(LOGForm->Log, sink) {}
            TThreadLogger logger;
            void run() override {
                for (int i = 0; i < 50; ++i)
                    logger.ThreadLog(QStringLiteral("w%1").arg(i), "");
                logger.ThreadLog("x\r\ny", ">>");
            }
        } worker(toLog);
        worker.start();
        int gui = 0;
        while (!worker.isFinished()) {
            MainKestromForm->AddLog(QStringLiteral("g%1").arg(gui++), "");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QVERIFY(worker.wait(5000));
        QCoreApplication::processEvents();
        QStringList workerBodies, guiBodies;
        for (const QString& l : LogLines()) {
            if (l.mid(23, 2) == ": ")
                l.mid(25, 1) == " " ? guiBodies << l.mid(26) : workerBodies << l.mid(25);
            else
                workerBodies << l.mid(24); // ":>> x"
        }
        QStringList expected;
        for (int i = 0; i < 50; ++i)
            expected << QStringLiteral("w%1").arg(i);
        expected << ">> x"
                 << ">> y";
        QCOMPARE(workerBodies, expected);
        for (int i = 0; i < guiBodies.size(); ++i)
            QCOMPARE(guiBodies[i], QStringLiteral("g%1").arg(i));

        LOGForm->hide();
        struct One : QThread {
            explicit One(TThreadLogger::Sink sink) : logger(LOGForm->Log, sink) {}
            TThreadLogger logger;
            void run() override { logger.ThreadLog("hidden", ""); }
        } one(toLog);
        const int before = LOGForm->Log->count();
        one.start();
        QTRY_VERIFY(one.isFinished());
        QCOMPARE(LOGForm->Log->count(), before + 1);
    }
};

QTEST_MAIN(TestLog)
#include "tst_log.moc"
