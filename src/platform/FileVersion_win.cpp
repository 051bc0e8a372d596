// The "FileVersion" text of a version resource, in the first of its translations that has
// one (language and code page pairs of \VarFileInfo\Translation).
#include "platform/FileVersion.h"

#include <QFileInfo>

#include <vector>
#include <windows.h>

QString GetFileVersionString(const QString& fileName) {
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile())
        return {};
    const std::wstring name = fileName.toStdWString();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(name.c_str(), 0, size, block.data()))
        return {};
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* pairs = nullptr;
    UINT bytes = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pairs),
                        &bytes))
        return {};
    for (UINT i = 0; pairs && i < bytes / sizeof(Translation); ++i) {
        const QString path = QStringLiteral("\\StringFileInfo\\%1%2\\FileVersion")
                                 .arg(pairs[i].language, 4, 16, QLatin1Char('0'))
                                 .arg(pairs[i].codePage, 4, 16, QLatin1Char('0'));
        wchar_t* text = nullptr;
        UINT length = 0;
        if (VerQueryValueW(block.data(), path.toStdWString().c_str(), reinterpret_cast<void**>(&text),
                           &length) &&
            text)
            return QString::fromWCharArray(text, int(length)).section(QChar(u'\0'), 0, 0);
    }
    return {};
}
