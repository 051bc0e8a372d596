// The serial answer wait's step over a device answer that arrives in pieces.
#include "FuzzSupport.h"
#include "app/DeviceHandshake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const QByteArray echo = takeBytes(in, 32);
    const QByteArray terminator = takeBytes(in, 8);
    QByteArray collected;
    qsizetype received = 0;
    while (in.remaining_bytes() > 0) {
        const QByteArray piece = takeBytes(in, 4096);
        collected += piece;
        received += piece.size();
        const qsizetype before = collected.size();
        const bool done = DeviceHandshake::AnswerStep(collected, echo, terminator);
        // At most one echo is taken out, and the answer is complete exactly when the
        // terminator is in what is left.
        FUZZ_CHECK(collected.size() == before || collected.size() == before - echo.size());
        FUZZ_CHECK(done == collected.contains(terminator));
        FUZZ_CHECK(collected.size() <= received);
        if (done)
            break;
    }
    return 0;
}
