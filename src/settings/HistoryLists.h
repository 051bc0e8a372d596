// The rules of the remembered histories: phone numbers, addresses, ports and
// address:port pairs. Pure functions over what the store holds, so that every rule can be
// checked without a window or a settings file.
//
// A history lives in numbered values (phone1..phone8, IP0..IP8, PORT0..PORT8,
// IPPORT0..IPPORT20). Slot i stands for the i-th of these names; an empty slot is a value
// that is missing (or unreadable). A save reads the values present, in slot order, as one
// compacted list, puts the new entry in front and writes the list back from slot 0 on;
// slots past the written ones keep whatever they held, so a gap in the numbering can leave
// an old value standing twice.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

namespace HistoryLists {

constexpr int PhoneSlots = 8;   // phone1..phone8
constexpr int AddressSlots = 9; // IP0..IP8
constexpr int PortSlots = 9;    // PORT0..PORT8
constexpr int PairSlots = 21;   // IPPORT0..IPPORT20

using TextSlots = QList<std::optional<QString>>;
using NumberSlots = QList<std::optional<qint32>>;

struct TextUpdate {
    TextSlots after; // the slots after the save (as many as the history has names)
    bool isNew = false;
};

struct NumberUpdate {
    NumberSlots after;
    bool isNew = false;
};

// The values present, in slot order.
QStringList present(const TextSlots& held);
QList<qint32> present(const NumberSlots& held);

// Phone numbers: new unless some stored number equals it exactly (case and blanks count);
// a new one goes in front. The list is written back even when nothing was new, which
// leaves a number dialled again where it was and closes gaps in the numbering.
TextUpdate savePhone(const TextSlots& stored, const QString& phone);

// Addresses: same comparison, but an address already stored changes nothing at all.
TextUpdate saveAddress(const TextSlots& stored, const QString& ip);

// Ports: the stored numbers are compared in decimal against the text as typed, so "0502"
// is new beside a stored 502 and goes in front as the number `port`. An old port changes
// nothing.
NumberUpdate savePort(const NumberSlots& stored, const QString& portText, qint32 port);

// The number a port field's text is saved as: decimal, 32-bit, surrounding blanks allowed.
std::optional<qint32> portNumber(const QString& portText);

// "address:port", as stored under IPPORTn.
QString pairText(const QString& ip, const QString& port);

// The address part of a stored pair: the text before its first ':' (all of it without one).
QString pairAddress(const QString& pair);

// Pairs: `stored` holds the IPPORT values present. The new pair goes in front unless it is
// stored already (then it keeps its place); every other pair of the same address is
// dropped, pairs of other addresses stay. The result is the whole list kept in memory for
// the run; the store keeps only its first PairSlots entries.
QStringList savePair(const QStringList& stored, const QString& ip, const QString& port);

// The port the pair history holds for the address typed: the (at most 5) characters after
// the first ':' of a pair. A pair of exactly that address wins; without one, a pair that
// merely contains the text serves (192.168.1.1 finds 192.168.1.10:4001). Among several, the
// last one wins. Nothing when no pair contains the text.
std::optional<QString> portForAddress(const QStringList& pairs, const QString& ip);

// The first PairSlots entries of a pair list as slots, the rest empty.
TextSlots pairSlots(const QStringList& pairs);

} // namespace HistoryLists
