// The run directory on Windows: a fresh folder in the user's own temporary folder
// (GetTempPathW, under the user's profile, which other accounts cannot enter).
#include "platform/TempDir.h"

#include "platform/AppPaths.h"

#include <QDir>
#include <QRandomGenerator>
#include <vector>

#include <windows.h>
// After <windows.h>, which it needs.
#include <aclapi.h>

namespace TempDir {
namespace {
QString systemText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString out =
        n ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("ошибка %1").arg(error);
    LocalFree(text);
    return out;
}

// The user's temporary folder with a trailing separator, as Windows names it.
QString SystemTempPath() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, buffer);
    if (n == 0 || n > MAX_PATH)
        return {};
    return QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(n)));
}

// A folder or file that is what it claims: no link or junction another program put there.
bool Plain(const QString& path, bool folder) {
    const DWORD a =
        GetFileAttributesW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(path).utf16()));
    if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return bool(a & FILE_ATTRIBUTE_DIRECTORY) == folder;
}

// Whether the object's owner is this user (or the owner this user's new objects get: the
// Administrators group for an elevated administrator).
bool OwnedByUs(const QString& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                              nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return false;
    bool ours = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        for (const TOKEN_INFORMATION_CLASS what : {TokenUser, TokenOwner}) {
            DWORD size = 0;
            GetTokenInformation(token, what, nullptr, 0, &size);
            std::vector<char> info(size);
            if (size == 0 || !GetTokenInformation(token, what, info.data(), size, &size))
                continue;
            const PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid
                                               : reinterpret_cast<TOKEN_OWNER*>(info.data())->Owner;
            ours = ours || EqualSid(owner, sid);
        }
        CloseHandle(token);
    }
    LocalFree(sd);
    return ours;
}

} // namespace

QString BaseDir() {
    return Platform::TempPathSetForTest() ? Platform::TempPath() : SystemTempPath();
}

QString MakeRunDir(const QString& base, QString* why) {
    // A new folder of an unguessable name; one that is there already is never taken over.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString made =
            base +
            QStringLiteral("kestrom-%1").arg(QRandomGenerator::system()->generate(), 8, 16, QLatin1Char('0'));
        if (CreateDirectoryW(reinterpret_cast<const wchar_t*>(QDir::toNativeSeparators(made).utf16()),
                             nullptr))
            return made + QLatin1Char('/');
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS) {
            *why = systemText(error);
            return {};
        }
    }
    *why = systemText(ERROR_ALREADY_EXISTS);
    return {};
}

bool StillPrivate(const QString& dir) {
    return Plain(dir, true);
}

bool IsPrivateFile(const QString& path) {
    return Plain(path, false) && OwnedByUs(path);
}

} // namespace TempDir
