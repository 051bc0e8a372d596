// The dialer's answer waits: what is taken for an answer in the modem's collected text.
#include "FuzzSupport.h"
#include "channels/RingThread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = fuzzBytes(data, size);
    const QByteArray answer = ModemAnswerText(bytes);
    FUZZ_CHECK(answer.size() <= bytes.size());
    // Dropping the echo twice drops nothing more.
    FUZZ_CHECK(ModemAnswerText(answer) == answer);
    // An answer on a line of its own is found after any text, echo or not.
    FUZZ_CHECK(ContainsModemAnswer(bytes + "\r\nOK\r\n", {"OK"}));
    // Only the echo lines go: an answer found without them is found in the whole text.
    if (ContainsModemAnswer(bytes, {"0,1"}))
        FUZZ_CHECK(bytes.toUpper().contains("0,1"));
    return 0;
}
