// The modem's result words in any received data, in any letter case.
#include "FuzzSupport.h"
#include "app/DeviceHandshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    const bool found = DeviceHandshake::ContainsHangupWord(bytes);
    FUZZ_CHECK(found == DeviceHandshake::ContainsHangupWord(bytes.toLower()));
    FUZZ_CHECK(found == DeviceHandshake::ContainsHangupWord(bytes.toUpper()));
    // Bytes around a word do not hide it.
    FUZZ_CHECK(DeviceHandshake::ContainsHangupWord(bytes + "no carrier\r\n"));
    return 0;
}
