// The main window's logging operations: all of them end in the log window's list.
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"
#include "log/LogFormat.h"
#include "platform/AnsiCodec.h"

#include <QVariant>

void TMainKestromForm::AddLog(const QString& Text, const QString& Tag) {
    if (LOGForm)
        LOGForm->AddLog(Text, Tag);
}

void TMainKestromForm::LogFmt(const QString& Format, const QList<QVariant>& Args) {
    // Printf-style: each %d or %s takes the next value.
    QString out;
    int next = 0;
    for (qsizetype i = 0; i < Format.size(); ++i) {
        const QChar c = Format.at(i);
        if (c == QLatin1Char('%') && i + 1 < Format.size()) {
            const QChar conversion = Format.at(i + 1);
            if (conversion == QLatin1Char('%')) {
                out += c;
                ++i;
                continue;
            }
            if ((conversion == QLatin1Char('d') || conversion == QLatin1Char('s')) && next < Args.size()) {
                out += Args.at(next++).toString();
                ++i;
                continue;
            }
        }
        out += c;
    }
    AddLog(out, QString());
}

void TMainKestromForm::LogHexDump(const QByteArray& Data, int Count) {
    for (const QString& line : LogFormat::hexDumpLines(Data, Count))
        AddLog(line, QString());
}

bool TMainKestromForm::LogRecording() {
    return LOGForm && LOGForm->isVisible();
}

void TMainKestromForm::LogBytes(const char* Data, int Count, const QString& Tag) {
    if (!LOGForm || !LOGForm->isVisible() || Count <= 0)
        return;
    AddLog(AnsiCodec::toText(QByteArray(Data, Count)), Tag);
}
