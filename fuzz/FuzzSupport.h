// Shared by the fuzz targets: a broken promise is a finding, reported like a crash.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fuzzer/FuzzedDataProvider.h>

// Aborts with the promise that failed; libFuzzer saves the input as a crash artifact.
#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "broken promise: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                 \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

inline QByteArray fuzzBytes(const uint8_t* data, size_t size) {
    return QByteArray(reinterpret_cast<const char*>(data), qsizetype(size));
}

inline QByteArray takeBytes(FuzzedDataProvider& in, size_t max) {
    const std::string s = in.ConsumeRandomLengthString(max);
    return QByteArray(s.data(), qsizetype(s.size()));
}
