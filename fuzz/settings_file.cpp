// The settings store's typed reads over a settings file damaged in any way, and the
// history rules over what those reads return.
#include "FuzzSupport.h"
#include "settings/HistoryLists.h"
#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <fcntl.h>
#include <sys/stat.h>

namespace {
QTemporaryDir* g_dir = nullptr;
QString g_conf;
long long g_stamp = 0;

template <class Read>
auto readSlots(const SettingsStore& store, const char* prefix, int first, int count, Read read) {
    QList<decltype(read(store, QString()))> held;
    for (int i = first; i < first + count; ++i)
        held << read(store, QString::fromLatin1(prefix) + QString::number(i));
    return held;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    g_dir = new QTemporaryDir;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, g_dir->path());
    QDir().mkpath(g_dir->path() + QStringLiteral("/Norvak"));
    g_conf = g_dir->path() + QStringLiteral("/Norvak/Kestrom.conf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        QFile f(g_conf);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        f.write(reinterpret_cast<const char*>(data), qsizetype(size));
    }
    // A new modification time for every input, so QSettings reads the file afresh.
    ++g_stamp;
    const timespec times[2] = {{g_stamp, 0}, {g_stamp, 0}};
    utimensat(AT_FDCWD, QFile::encodeName(g_conf).constData(), times, 0);

    const SettingsStore store;
    auto text = [](const SettingsStore& s, const QString& name) { return s.readString(name); };
    auto number = [](const SettingsStore& s, const QString& name) { return s.readInteger(name); };
    const HistoryLists::TextSlots phones = readSlots(store, "phone", 1, HistoryLists::PhoneSlots, text);
    const HistoryLists::TextSlots addresses = readSlots(store, "IP", 0, HistoryLists::AddressSlots, text);
    const HistoryLists::NumberSlots ports = readSlots(store, "PORT", 0, HistoryLists::PortSlots, number);
    const HistoryLists::TextSlots pairs = readSlots(store, "IPPORT", 0, HistoryLists::PairSlots, text);
    store.readString(QStringLiteral("LastIP"));
    store.readInteger(QStringLiteral("LastPort"));
    store.readString(QStringLiteral("COM"));
    store.readInteger(QStringLiteral("CHANNEL"));

    // The saves of a run over whatever was read: the histories keep their length.
    const auto phone = HistoryLists::savePhone(phones, QStringLiteral("+74951234567"));
    FUZZ_CHECK(phone.after.size() == HistoryLists::PhoneSlots);
    const auto address = HistoryLists::saveAddress(addresses, QStringLiteral("10.0.0.1"));
    FUZZ_CHECK(address.after.size() == HistoryLists::AddressSlots);
    const auto port = HistoryLists::savePort(ports, QStringLiteral("5000"), 5000);
    FUZZ_CHECK(port.after.size() == HistoryLists::PortSlots);
    const QStringList kept = HistoryLists::savePair(HistoryLists::present(pairs), QStringLiteral("10.0.0.1"),
                                                    QStringLiteral("5000"));
    FUZZ_CHECK(kept.contains(QStringLiteral("10.0.0.1:5000")));
    FUZZ_CHECK(HistoryLists::pairSlots(kept).size() == HistoryLists::PairSlots);
    return 0;
}
