// The rules by which Windows' device lists become the port list and the port's presence,
// apart from the system calls, so that they can be fed any list (COMUtils_win.cpp makes the
// calls).
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

// What one QueryDosDeviceW(NULL, buffer, capacity) call gave: the count of characters it
// stored and GetLastError after it.
struct DosDeviceAnswer {
    std::uint32_t count = 0;
    std::uint32_t error = 0;
};
using DosDeviceQuery = std::function<DosDeviceAnswer(char16_t* buffer, std::uint32_t capacity)>;

constexpr std::uint32_t DosDeviceFirstCapacity = 5120;
constexpr std::uint32_t DosDeviceCapacityStep = 1024;
constexpr std::uint32_t ErrorInsufficientBuffer = 122;

// The whole DOS device list (NUL-separated names), asked for with a buffer that grows until
// the list fits. False, with the system's error number, on any error but a buffer too small.
bool QueryDosDeviceList(const DosDeviceQuery& query, QString& list, std::uint32_t& error);

// The names of a NUL-separated list, up to the first empty one, that begin with prefix
// (case-sensitive: "com7" is no port), in the order of the list.
QStringList DosDeviceNamesWithPrefix(const QString& list, const QString& prefix);

// The friendly names of the Ports class as lines "<index>: <name>".
QStringList FriendlyNameLines(const QStringList& names);

// Whether the port name occurs anywhere in the lines, case ignored: a plain substring test,
// so COM1 is found where only COM10 is there.
bool FriendlyNamesMention(const QStringList& lines, const QString& portName);
