// Which setup programs run through Wine: Windows executables, whatever their name.
#include "platform/ProcessStart.h"

#include <QtTest>

namespace {
// A DOS header of 64 bytes whose offset field (0x3C) points at pe.
QByteArray dosHeader(quint32 pe) {
    QByteArray h(0x40, '\0');
    h[0] = 'M';
    h[1] = 'Z';
    for (int i = 0; i < 4; ++i)
        h[0x3C + i] = char((pe >> (8 * i)) & 0xFF);
    return h;
}
} // namespace

class TestProcessStart : public QObject {
    Q_OBJECT
  private slots:
    void kindOfFile_data() {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("windows");
        const QByteArray pe("PE\0\0", 4);
        QTest::newRow("PE program") << dosHeader(0x80) + QByteArray(0x40, '\x90') + pe + QByteArray(20, '\0')
                                    << true;
        QTest::newRow("PE header right after the DOS header") << dosHeader(0x40) + pe << true;
        QTest::newRow("the sample setup-sim.exe") << QByteArray() << true; // filled in below
        QTest::newRow("DOS MZ without PE") << dosHeader(0x80) + QByteArray(0x40, '\x90') + "NE\0\0" << false;
        QTest::newRow("PE offset past the end") << dosHeader(0x200) + pe << false;
        QTest::newRow("PE offset at the very end") << dosHeader(0x40) + "PE\0" << false;
        QTest::newRow("PE offset wrapping around") << dosHeader(0xFFFFFFFE) + pe << false;
        QTest::newRow("MZ, DOS header cut short") << QByteArray("MZ\x90\0 a Windows program", 22) << false;
        QTest::newRow("ELF") << QByteArray("\x7F"
                                           "ELF\x02\x01\x01\0",
                                           8) +
                                    QByteArray(120, '\0')
                             << false;
        QTest::newRow("script") << QByteArray("#!/bin/sh\nexec sleep 60\n") + QByteArray(80, ' ') << false;
        QTest::newRow("empty file") << QByteArray() << false;
        QTest::newRow("1-byte file") << QByteArray("M") << false;
    }
    void kindOfFile() {
        QFETCH(QByteArray, head);
        QFETCH(bool, windows);
        if (QByteArray(QTest::currentDataTag()) == "the sample setup-sim.exe") {
            if (QString(KESTROM_SETUP_SIM_EXE).isEmpty())
                QSKIP("setup-sim.exe was not built (mingw-w64 missing)");
            head = ProcessStart::ReadHead(KESTROM_SETUP_SIM_EXE);
        }
        QCOMPARE(ProcessStart::KindOf(head) == ProcessStart::FileKind::Windows, windows);
    }
};

QTEST_GUILESS_MAIN(TestProcessStart)
#include "tst_processstart.moc"
