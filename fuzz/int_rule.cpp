// setup.ini's integer rule on any text, and its agreement with the numbers it prints.
#include "FuzzSupport.h"
#include "settings/SetupIni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    const int value = SetupIni::toInt(QString::fromUtf8(bytes));
    SetupIni::toInt(QString::fromLatin1(bytes));

    // Whatever it read, the decimal and hex spellings of that number read back the same.
    FUZZ_CHECK(SetupIni::toInt(QString::number(value)) == value);
    FUZZ_CHECK(SetupIni::toInt(QStringLiteral("  ") + QString::number(value)) == value);
    FUZZ_CHECK(SetupIni::toInt(QStringLiteral("$") + QString::number(quint32(value), 16)) == value);
    // A trailing space spoils any value.
    FUZZ_CHECK(SetupIni::toInt(QString::fromLatin1(bytes) + u' ') == 0);
    return 0;
}
