// The IP channel's address check on any text typed into the address box.
#include "FuzzSupport.h"
#include "app/MainFormUnit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(fuzzBytes(data, size));
    if (!TMainKestromForm::IsValidIPAddress(text))
        return 0;
    // Accepted: four numbers 0..255 lead the text, and what follows them is not examined.
    const QStringList parts = text.split(u'.');
    FUZZ_CHECK(parts.size() >= 4);
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        const int n = parts[i].toInt(&ok);
        FUZZ_CHECK(ok && n >= 0 && n <= 255);
        // Digits only: a blank or a sign would have passed Qt's conversion.
        for (const QChar c : parts[i])
            FUZZ_CHECK(c >= u'0' && c <= u'9');
    }
    FUZZ_CHECK(TMainKestromForm::IsValidIPAddress(text + QStringLiteral(".x:1")));
    return 0;
}
