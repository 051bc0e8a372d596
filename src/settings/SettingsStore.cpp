#include "settings/SettingsStore.h"

#include "platform/PrivateFile.h"

#include <limits>

SettingsStore::SettingsStore()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Norvak"),
                 QStringLiteral("Kestrom")) {}

std::optional<QString> SettingsStore::readString(const QString& name) const {
    return toText(m_settings.value(name));
}

std::optional<qint32> SettingsStore::readInteger(const QString& name) const {
    return toInteger(m_settings.value(name));
}

void SettingsStore::writeString(const QString& name, const QString& value) {
    m_settings.setValue(name, value);
}

// Written as int so that the Windows registry gets a DWORD.
void SettingsStore::writeInteger(const QString& name, qint32 value) {
    m_settings.setValue(name, int(value));
}

bool SettingsStore::contains(const QString& name) const {
    return m_settings.contains(name);
}

void SettingsStore::remove(const QString& name) {
    m_settings.remove(name);
}

QString SettingsStore::save() {
    // The panels' phone numbers and addresses are this user's alone. Qt keeps the rights of
    // the file it replaces, so a file made private before the first write stays private.
    // Where that fails the write itself fails too, and says so below.
    QString why;
    PrivateFile::Prepare(m_settings.fileName(), PrivateFile::Folder::MakeMissing, &why);
    m_settings.sync();
    // A damaged file read earlier leaves FormatError; only a failed write counts here.
    if (m_settings.status() != QSettings::AccessError)
        return {};
    return QStringLiteral("Не удалось сохранить настройки в %1").arg(m_settings.fileName());
}

std::optional<QString> SettingsStore::toText(const QVariant& value) {
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<qint32> SettingsStore::toInteger(const QVariant& value) {
    bool ok = false;
    qlonglong n = 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        n = value.toLongLong(&ok);
        break;
    case QMetaType::ULongLong: {
        const qulonglong u = value.toULongLong(&ok);
        ok = ok && u <= qulonglong(std::numeric_limits<qint32>::max());
        n = qlonglong(u);
        break;
    }
    case QMetaType::QString:
        n = value.toString().toLongLong(&ok, 10);
        break;
    default:
        return std::nullopt;
    }
    if (!ok || n < std::numeric_limits<qint32>::min() || n > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(n);
}
