#include "platform/LogFileText.h"

#include <windows.h>

// A character the code page lacks becomes the code page's default character ("?").
QByteArray LogFileText(const QString& text) {
    if (text.isEmpty())
        return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.utf16());
    const int n = WideCharToMultiByte(CP_ACP, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    QByteArray out(n, Qt::Uninitialized);
    WideCharToMultiByte(CP_ACP, 0, wide, int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}
