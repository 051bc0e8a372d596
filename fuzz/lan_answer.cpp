// The LAN handshake's collection of the panel's answer, fed in pieces of any size.
#include "FuzzSupport.h"
#include "app/DeviceHandshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const qsizetype limit = in.ConsumeIntegralInRange<int>(0, 512);
    QByteArray collected;
    QByteArray everything;
    while (in.remaining_bytes() > 0) {
        const QByteArray piece = takeBytes(in, 4096);
        everything += piece;
        DeviceHandshake::CollectLANAnswer(collected, piece, limit);
        // The first bytes are kept, in order, never more than the limit.
        FUZZ_CHECK(collected.size() <= limit);
        FUZZ_CHECK(collected == everything.left(limit));
        FUZZ_CHECK(DeviceHandshake::LANAnswerComplete(collected) == collected.contains("OK"));
    }
    return 0;
}
