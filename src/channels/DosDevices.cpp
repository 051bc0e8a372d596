#include "channels/DosDevices.h"

#include <algorithm>
#include <memory>

namespace {

// A list this long is a broken answer, not a machine's devices: the asking stops there.
constexpr std::uint32_t CapacityLimit = 1024u * 1024;

} // namespace

bool QueryDosDeviceList(const DosDeviceQuery& query, QString& list, std::uint32_t& error) {
    list.clear();
    error = 0;
    std::uint32_t capacity = DosDeviceFirstCapacity;
    for (;;) {
        const auto buffer = std::make_unique_for_overwrite<char16_t[]>(capacity);
        const DosDeviceAnswer answer = query(buffer.get(), capacity);
        if (answer.error != 0 && answer.error != ErrorInsufficientBuffer) {
            error = answer.error;
            return false;
        }
        if (answer.error == 0) {
            // A count of 0 without an error would ask again for ever: it is an empty list.
            list = QString::fromUtf16(buffer.get(), qsizetype(std::min(answer.count, capacity)));
            return true;
        }
        // Too small: some systems name the size needed, others only fail.
        const std::uint32_t next = answer.count > capacity ? answer.count : capacity + DosDeviceCapacityStep;
        if (next > CapacityLimit) {
            error = ErrorInsufficientBuffer;
            return false;
        }
        capacity = next;
    }
}

QStringList DosDeviceNamesWithPrefix(const QString& list, const QString& prefix) {
    QStringList names;
    // Each name ends in a NUL; what follows the last one is no name (a cut one at most,
    // "COM1" of "COM12").
    const QList<QStringView> pieces = QStringView(list).split(u'\0');
    for (qsizetype i = 0; i + 1 < pieces.size(); ++i) {
        const QStringView name = pieces[i];
        if (name.isEmpty())
            break;
        if (name.startsWith(prefix, Qt::CaseSensitive))
            names.append(name.toString());
    }
    return names;
}

QStringList FriendlyNameLines(const QStringList& names) {
    QStringList lines;
    for (qsizetype i = 0; i < names.size(); ++i)
        lines.append(QStringLiteral("%1: %2").arg(i).arg(names[i]));
    return lines;
}

bool FriendlyNamesMention(const QStringList& lines, const QString& portName) {
    if (portName.isEmpty())
        return false;
    return lines.join(QStringLiteral("\r\n")).toUpper().contains(portName.toUpper());
}
