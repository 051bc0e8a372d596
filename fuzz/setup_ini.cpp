// setup.ini as an editor may have left it: any bytes, any encoding, any line ends.
#include "FuzzSupport.h"
#include "settings/SetupIni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QStringList lines = SetupIni::decodeLines(fuzzBytes(data, size));
    for (const QString& line : lines)
        FUZZ_CHECK(!line.contains(u'\r') && !line.contains(u'\n'));

    // The keys the program asks for, and each line's own key: found, though possibly on an
    // earlier line with the same key in another letter case.
    for (const char* key : {"OLDCONNECT", "SP", "RB", "PROTO"})
        SetupIni::toInt(SetupIni::valueOf(lines, QString::fromLatin1(key)));
    for (const QString& line : lines) {
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0)
            continue;
        const QString value = SetupIni::valueOf(lines, line.left(eq));
        FUZZ_CHECK(value.size() < SetupIni::decodeLines(fuzzBytes(data, size)).join(u'=').size() + 1);
        FUZZ_CHECK(!value.contains(u'\r') && !value.contains(u'\n'));
    }
    return 0;
}
