// The device key of whatever a device answers to the version request.
#include "FuzzSupport.h"
#include "platform/AnsiCodec.h"
#include "settings/SetupIni.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString answer = AnsiCodec::toText(fuzzBytes(data, size));

    const QString oldKey = SetupIni::deviceKeyOld(answer);
    FUZZ_CHECK(!oldKey.contains(u'\r') && !oldKey.contains(u'\n') && !oldKey.contains(u'.'));
    FUZZ_CHECK(oldKey.size() <= answer.size());

    const QString key = SetupIni::deviceKeyStandard(answer);
    FUZZ_CHECK(key.size() <= answer.size());
    for (const QChar c : key)
        FUZZ_CHECK(c != u'"' && c != u',' && c != u'.' && (c.unicode() == 0 || c.unicode() > 32));
    return 0;
}
