// What a setup program's file is, and which command starts it.
#include "platform/ProcessStart.h"

#include <QFile>

namespace ProcessStart {

FileKind KindOf(const QByteArray& head) {
    if (head.size() < 0x40 || !head.startsWith("MZ"))
        return FileKind::Native;
    const auto byte = [&](qsizetype i) { return quint32(quint8(head.at(i))); };
    const quint32 pe = byte(0x3C) | byte(0x3D) << 8 | byte(0x3E) << 16 | byte(0x3F) << 24;
    if (pe > quint32(head.size()) - 4)
        return FileKind::Native; // past what was read (real programs have it within 1 KiB)
    return head.mid(pe, 4) == QByteArray("PE\0\0", 4) ? FileKind::Windows : FileKind::Native;
}

QByteArray ReadHead(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(HeadSize);
}

Command CommandFor(const QString& path, FileKind kind, bool runsWindows, const QString& wine) {
    Command c;
    if (kind == FileKind::Native || runsWindows) {
        c.program = path; // the path reaches the process whole
        return c;
    }
    if (wine.isEmpty()) {
        c.error = QStringLiteral("не установлен Wine: sudo apt install wine");
        return c;
    }
    c.program = wine;
    c.arguments = QStringList{path};
    c.throughWine = true;
    return c;
}

} // namespace ProcessStart
