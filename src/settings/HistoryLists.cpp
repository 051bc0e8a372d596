#include "settings/HistoryLists.h"

#include <algorithm>

namespace HistoryLists {
namespace {

template <class T> QList<T> compact(const QList<std::optional<T>>& held) {
    QList<T> values;
    for (const auto& slot : held)
        if (slot)
            values.append(*slot);
    return values;
}

// Writes `values` over the first slots of a history of `count` names; the slots after
// them keep what they held.
template <class T>
QList<std::optional<T>> writeFront(QList<std::optional<T>> held, const QList<T>& values, int count) {
    held.resize(count);
    const int written = std::min(int(values.size()), count);
    for (int i = 0; i < written; ++i)
        held[i] = values[i];
    return held;
}

} // namespace

QStringList present(const TextSlots& held) {
    return compact(held);
}
QList<qint32> present(const NumberSlots& held) {
    return compact(held);
}

TextUpdate savePhone(const TextSlots& stored, const QString& phone) {
    QStringList list = compact(stored);
    const bool isNew = !list.contains(phone, Qt::CaseSensitive);
    if (isNew)
        list.prepend(phone);
    return {writeFront(stored, list, PhoneSlots), isNew};
}

TextUpdate saveAddress(const TextSlots& stored, const QString& ip) {
    QStringList list = compact(stored);
    TextSlots held = stored;
    held.resize(AddressSlots);
    if (list.contains(ip, Qt::CaseSensitive))
        return {held, false};
    list.prepend(ip);
    return {writeFront(held, list, AddressSlots), true};
}

NumberUpdate savePort(const NumberSlots& stored, const QString& portText, qint32 port) {
    QList<qint32> list = compact(stored);
    NumberSlots held = stored;
    held.resize(PortSlots);
    const bool known =
        std::any_of(list.cbegin(), list.cend(), [&](qint32 n) { return QString::number(n) == portText; });
    if (known)
        return {held, false};
    list.prepend(port);
    return {writeFront(held, list, PortSlots), true};
}

std::optional<qint32> portNumber(const QString& portText) {
    bool ok = false;
    const int n = portText.toInt(&ok, 10);
    if (!ok)
        return std::nullopt;
    return qint32(n);
}

QString pairText(const QString& ip, const QString& port) {
    return ip + QLatin1Char(':') + port;
}

QString pairAddress(const QString& pair) {
    const qsizetype colon = pair.indexOf(QLatin1Char(':'));
    return colon < 0 ? pair : pair.left(colon);
}

QStringList savePair(const QStringList& stored, const QString& ip, const QString& port) {
    const QString pair = pairText(ip, port);
    const bool isNew = !stored.contains(pair, Qt::CaseSensitive);
    QStringList pairs;
    for (const QString& entry : stored)
        // The address must match as a whole: 10.0.0.1 must not take 10.0.0.12 with it.
        if (entry == pair || pairAddress(entry) != ip)
            pairs.append(entry);
    if (isNew)
        pairs.prepend(pair);
    return pairs;
}

std::optional<QString> portForAddress(const QStringList& pairs, const QString& ip) {
    // savePair keeps the pairs of other addresses, so 10.0.0.12:6000 stays beside a newer
    // 10.0.0.1:5000: containing the text alone would hand 10.0.0.1 the other one's port.
    std::optional<QString> exact;
    std::optional<QString> containing;
    for (const QString& entry : pairs) {
        if (!entry.contains(ip))
            continue;
        const qsizetype colon = entry.indexOf(QLatin1Char(':'));
        const QString port = colon < 0 ? QString() : entry.mid(colon + 1, 5);
        if (pairAddress(entry) == ip)
            exact = port;
        else
            containing = port;
    }
    return exact ? exact : containing;
}

TextSlots pairSlots(const QStringList& pairs) {
    TextSlots held(PairSlots);
    for (int i = 0; i < PairSlots && i < pairs.size(); ++i)
        held[i] = pairs[i];
    return held;
}

} // namespace HistoryLists
