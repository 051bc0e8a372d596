// The traffic log's hex dump of any packet, with any count the caller passes.
#include "FuzzSupport.h"
#include "log/LogFormat.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int count = in.ConsumeIntegral<int>();
    const QByteArray packet = QByteArray::fromStdString(in.ConsumeRemainingBytesAsString());
    const QStringList lines = LogFormat::hexDumpLines(packet, count);

    const int n = qBound(0, count, int(packet.size()));
    FUZZ_CHECK(lines.size() == qMax(1, (n + 14) / 15));
    QString joined;
    for (const QString& line : lines) {
        FUZZ_CHECK(line.size() <= 45);
        joined += line;
    }
    // Every byte once, in order, as " XX".
    const QString expected =
        n == 0 ? QString() : u' ' + QString::fromLatin1(packet.left(n).toHex(' ').toUpper());
    FUZZ_CHECK(joined == expected);
    return 0;
}
