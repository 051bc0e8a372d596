// Histories and choices kept between runs: phone numbers, addresses, ports, address:port
// pairs, the serial port and the channel. The list rules are in HistoryLists; this file
// moves values between the store and the main window's controls.
#include <QSignalBlocker>

#include "app/MainFormUnit.h"
#include "settings/HistoryLists.h"
#include "settings/SettingsStore.h"

namespace {

const QString kLastIP = QStringLiteral("LastIP");
const QString kLastPort = QStringLiteral("LastPort");
const QString kCOM = QStringLiteral("COM");
const QString kChannel = QStringLiteral("CHANNEL");

// Phone numbers are numbered from 1, the other histories from 0.
QString phoneName(int slot) {
    return QStringLiteral("phone%1").arg(slot + 1);
}
QString addressName(int slot) {
    return QStringLiteral("IP%1").arg(slot);
}
QString portName(int slot) {
    return QStringLiteral("PORT%1").arg(slot);
}
QString pairName(int slot) {
    return QStringLiteral("IPPORT%1").arg(slot);
}

template <class NameFn>
HistoryLists::TextSlots readTextSlots(const SettingsStore& store, NameFn name, int count) {
    HistoryLists::TextSlots held(count);
    for (int i = 0; i < count; ++i)
        held[i] = store.readString(name(i));
    return held;
}

template <class NameFn>
HistoryLists::NumberSlots readNumberSlots(const SettingsStore& store, NameFn name, int count) {
    HistoryLists::NumberSlots held(count);
    for (int i = 0; i < count; ++i)
        held[i] = store.readInteger(name(i));
    return held;
}

// Only slots whose content changed are written; an unchanged value rewritten would be the
// same value, and an unreadable one that the save did not replace is left alone.
template <class NameFn>
void writeTextSlots(SettingsStore& store, NameFn name, const HistoryLists::TextSlots& before,
                    const HistoryLists::TextSlots& after) {
    for (int i = 0; i < after.size(); ++i)
        if (after[i] && (i >= before.size() || before[i] != after[i]))
            store.writeString(name(i), *after[i]);
}

template <class NameFn>
void writeNumberSlots(SettingsStore& store, NameFn name, const HistoryLists::NumberSlots& before,
                      const HistoryLists::NumberSlots& after) {
    for (int i = 0; i < after.size(); ++i)
        if (after[i] && (i >= before.size() || before[i] != after[i]))
            store.writeInteger(name(i), *after[i]);
}

// Appends items to an editable combo box without touching its text: Qt makes the first
// item of an empty box current and shows it, and none of the items was chosen by the user.
// Signals are held back so no change handler runs for text the user did not type.
void appendItemsKeepingText(QComboBox* box, const QStringList& items) {
    const QSignalBlocker block(box);
    const QString text = box->currentText();
    box->addItems(items);
    if (box->isEditable())
        box->setEditText(text);
}

// Puts a new history entry on top of a combo box's items, text unchanged.
void insertItemOnTopKeepingText(QComboBox* box, const QString& item) {
    const QSignalBlocker block(box);
    const QString text = box->currentText();
    box->insertItem(0, item);
    if (box->isEditable())
        box->setEditText(text);
}

// The values are written now, so a store that cannot be written is told in the log (and on
// stderr: at exit the log window has gone) rather than found out at the next start.
void saveStore(TMainKestromForm* form, SettingsStore& store) {
    const QString error = store.save();
    if (error.isEmpty())
        return;
    qWarning("%s", qUtf8Printable(error));
    form->AddLog(error, QString());
}

} // namespace

void TMainKestromForm::LoadPhoneList() {
    const SettingsStore store;
    const QString typed = PhoneNumber->currentText();
    const QSignalBlocker block(PhoneNumber);
    PhoneNumber->clear();
    PhoneNumber->addItems(HistoryLists::present(readTextSlots(store, phoneName, HistoryLists::PhoneSlots)));
    PhoneNumber->setEditText(typed);
}

void TMainKestromForm::SavePhoneNumber(const QString& Phone) {
    {
        SettingsStore store;
        const auto before = readTextSlots(store, phoneName, HistoryLists::PhoneSlots);
        writeTextSlots(store, phoneName, before, HistoryLists::savePhone(before, Phone).after);
        saveStore(this, store);
    } // written back before the list is read again
    LoadPhoneList();
}

void TMainKestromForm::LoadIPList() {
    const SettingsStore store;

    QStringList pairs;
    for (int i = 0; i < HistoryLists::PairSlots; ++i)
        if (const auto pair = store.readString(pairName(i)))
            pairs.append(*pair);
    if (FIPPort)
        *FIPPort = pairs;

    QStringList addresses;
    QStringList ports;
    for (int i = 0; i < HistoryLists::AddressSlots; ++i) {
        if (const auto ip = store.readString(addressName(i)))
            addresses.append(*ip);
        if (const auto port = store.readInteger(portName(i)))
            ports.append(QString::number(*port));
    }
    // Runs once, at start-up: the boxes are empty, so they are filled without clearing.
    appendItemsKeepingText(IPCombo, addresses);
    appendItemsKeepingText(PortCombo, ports);

    // The address typed last is put in after its port, and with the change handlers held
    // back: the port last used is shown, not one looked up in the pair history.
    if (const auto port = store.readInteger(kLastPort)) {
        const QSignalBlocker block(PortCombo);
        PortCombo->setEditText(QString::number(*port));
    }
    if (const auto ip = store.readString(kLastIP)) {
        const QSignalBlocker block(IPCombo);
        IPCombo->setEditText(*ip);
    }
}

void TMainKestromForm::SaveIPList() {
    const QString ip = IPCombo->currentText();
    const QString portText = PortCombo->currentText();
    SettingsStore store;

    store.writeString(kLastIP, ip);
    // The connect link is enabled only for a port of 1 to 65535, so this holds; without a
    // number there is nothing sound to store as a port or pair.
    const auto port = HistoryLists::portNumber(portText);
    if (!port)
        return;
    store.writeInteger(kLastPort, *port);

    const auto addressesBefore = readTextSlots(store, addressName, HistoryLists::AddressSlots);
    const auto addresses = HistoryLists::saveAddress(addressesBefore, ip);
    if (addresses.isNew) {
        insertItemOnTopKeepingText(IPCombo, ip);
        writeTextSlots(store, addressName, addressesBefore, addresses.after);
    }

    const auto portsBefore = readNumberSlots(store, portName, HistoryLists::PortSlots);
    const auto ports = HistoryLists::savePort(portsBefore, portText, *port);
    if (ports.isNew) {
        insertItemOnTopKeepingText(PortCombo, portText);
        writeNumberSlots(store, portName, portsBefore, ports.after);
    }

    // The pairs are taken out of the store and written back whole: the key holds exactly
    // the first PairSlots of the new list, while the list in memory keeps them all until
    // the next start.
    QStringList stored;
    for (int i = 0; i < HistoryLists::PairSlots; ++i) {
        if (const auto pair = store.readString(pairName(i)))
            stored.append(*pair);
        store.remove(pairName(i));
    }
    const QStringList pairs = HistoryLists::savePair(stored, ip, portText);
    const auto pairSlots = HistoryLists::pairSlots(pairs);
    for (int i = 0; i < pairSlots.size(); ++i)
        if (pairSlots[i])
            store.writeString(pairName(i), *pairSlots[i]);
    if (FIPPort)
        *FIPPort = pairs;
    saveStore(this, store);
}

void TMainKestromForm::LoadCOMSettings() {
    const SettingsStore store;
    if (const auto com = store.readString(kCOM))
        SelectComboItem(PortsListComboBox, *com);
    if (const auto channel = store.readInteger(kChannel)) {
        // A channel this build does not know (another version, a hand-edited file) falls
        // back to the first one rather than leaving the window with no channel at all.
        const int index = (*channel >= chModemV32 && *channel <= chIP) ? *channel : int(chModemV32);
        const QSignalBlocker block(ConnectTypeComboBox);
        ConnectTypeComboBox->setCurrentIndex(index);
    }
}

void TMainKestromForm::SaveCOMSettings() {
    SettingsStore store;
    store.writeString(kCOM, PortsListComboBox->currentText());
    store.writeInteger(kChannel, ConnectTypeComboBox->currentIndex());
    saveStore(this, store);
}

void TMainKestromForm::SelectComboItem(QComboBox* Box, const QString& Text) {
    if (!Box)
        return;
    const QString wanted = Text.toUpper();
    for (int i = 0; i < Box->count(); ++i)
        if (Box->itemText(i).toUpper() == wanted) {
            Box->setCurrentIndex(i);
            return;
        }
}
