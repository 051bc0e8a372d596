#include "channels/ModemResult.h"

namespace {

// The words a modem reports a call (or its attempt) ended with, in the order they are
// looked for: the first one present decides the code.
const struct {
    const char* word;
    RingResult code;
} HangupWords[] = {
    {"BUSY", rrBusy},
    {"NO CARRIER", rrNoCarrier},
    {"NO DIALTONE", rrNoDialtone},
    {"NO ANSWER", rrNoAnswer},
};

} // namespace

quint32 ModemHangupResult(const QByteArray& text) {
    const QByteArray upper = text.toUpper();
    for (const auto& row : HangupWords) {
        if (upper.contains(row.word))
            return row.code;
    }
    return rrConnected;
}

QString ModemErrorText(quint32 code) {
    switch (code) {
    case rrPortError:
        return QStringLiteral("Не могу открыть COM-порт");
    case rrNoModem:
        return QStringLiteral("Модем не отвечает");
    case rrNoNetwork:
        return QStringLiteral("Нет регистрации в сети GSM");
    case rrBusy:
        return QStringLiteral("Номер занят");
    case rrNoCarrier:
        return QStringLiteral("Не могу дозвониться");
    case rrNoDialtone:
        return QStringLiteral("Нет сигнала в линии");
    case rrNoAnswer:
        return QStringLiteral("Номер не отвечает");
    default:
        return {};
    }
}

QByteArray ModemAnswerText(const QByteArray& collected) {
    QByteArray out;
    out.reserve(collected.size());
    qsizetype start = 0;
    while (start < collected.size()) {
        qsizetype end = start;
        while (end < collected.size() && collected[end] != '\r' && collected[end] != '\n')
            ++end;
        // A line and its terminators; the last line may still be unfinished.
        qsizetype next = end;
        while (next < collected.size() && (collected[next] == '\r' || collected[next] == '\n'))
            ++next;
        const bool echo = end - start >= 2 && (collected[start] == 'A' || collected[start] == 'a') &&
                          (collected[start + 1] == 'T' || collected[start + 1] == 't');
        if (!echo)
            out += collected.mid(start, next - start);
        start = next;
    }
    return out;
}

bool ContainsModemAnswer(const QByteArray& collected, const TStringArray& answers) {
    const QByteArray upper = ModemAnswerText(collected).toUpper();
    for (const QByteArray& answer : answers) {
        if (upper.contains(answer))
            return true;
    }
    return false;
}
