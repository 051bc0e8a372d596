// The traffic log's line splitting on any packet logged as text.
#include "FuzzSupport.h"
#include "log/LogFormat.h"
#include "platform/AnsiCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = AnsiCodec::toText(fuzzBytes(data, size));
    const QStringList lines = LogFormat::splitLines(text);
    const QString shown = text.left(text.indexOf(QChar(0)) < 0 ? text.size() : text.indexOf(QChar(0)));
    // A CR anywhere, behind a NUL too, makes the text split.
    const bool split = text.contains(u'\r');

    FUZZ_CHECK(split || lines.size() == 1);
    qsizetype kept = 0;
    for (const QString& line : lines) {
        FUZZ_CHECK(!line.contains(QChar(0)));
        if (split)
            FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));
        kept += line.size();
    }
    // Nothing but the line breaks goes missing before the NUL.
    qsizetype breaks = 0;
    if (split)
        breaks = shown.count(u'\r') + shown.count(u'\n');
    FUZZ_CHECK(kept == shown.size() - breaks);
    return 0;
}
