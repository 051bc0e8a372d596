// The per-user store of the main window's histories and choices: a thin typed layer over
// QSettings (the registry key Software\Norvak\Kestrom on Windows, ~/.config/Norvak/Kestrom.conf
// on Linux). Values are strings or 32-bit integers under fixed names.
//
// The store is a file the user (or an older or newer build) may have edited, so a value
// that cannot be what its name says reads as missing: start-up must never fail over it.
// Reading writes nothing; a store that was never written stays absent.
#pragma once

#include <QSettings>
#include <QString>
#include <QVariant>
#include <optional>

class SettingsStore {
  public:
    // Opens the store; the file (or key) comes into being with the first write.
    SettingsStore();
    // Writes what was changed.
    ~SettingsStore() = default;

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    std::optional<QString> readString(const QString& name) const;
    std::optional<qint32> readInteger(const QString& name) const;
    void writeString(const QString& name, const QString& value);
    void writeInteger(const QString& name, qint32 value);
    bool contains(const QString& name) const;
    void remove(const QString& name);
    // Writes what was changed now. Empty when it was written, else the message to log: a
    // read-only file or folder, a full disk, a folder that cannot be made.
    QString save();

    // How a value read back is taken. Strings: only text (a list, a number from a typed
    // backend or a byte array is not a string). Integers: a number or decimal text that
    // fits in 32 bits; the Linux file keeps no types, so an integer comes back as text.
    static std::optional<QString> toText(const QVariant& value);
    static std::optional<qint32> toInteger(const QVariant& value);

  private:
    QSettings m_settings;
};
