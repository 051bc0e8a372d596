// The modem's result words and the dialer's result codes: which word in the modem's output
// ends a call (or its attempt), and the status text each code is shown with.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Result codes in TRingThread::ErrorCode.
enum RingResult : quint32 {
    rrConnected = 0,
    rrPortError = 1,
    rrNoModem = 2,
    rrNoNetwork = 3,
    rrBusy = 4,
    rrNoCarrier = 5,
    rrNoDialtone = 6,
    rrNoAnswer = 7,
    rrCancelled = 255,
};

// The status text for a result code 1 to 7; empty for any other.
QString ModemErrorText(quint32 code);

// The result code of the first result word that ends a call, in the order "BUSY",
// "NO CARRIER", "NO DIALTONE", "NO ANSWER", found anywhere in the text in any letter case;
// rrConnected (0) when none is there. The dialer's waits and the relay's hang-up check
// both read the modem's output through it.
quint32 ModemHangupResult(const QByteArray& text);

using TStringArray = QList<QByteArray>;

// What a wait looks for an answer in: the collected text without the modem's echo of our
// own commands (the lines that begin with "AT"). The echo of "AT+CBST=7,0,1" left queued
// by a slow modem must not read as the "0,1" of a registration.
QByteArray ModemAnswerText(const QByteArray& collected);
// Whether one of the answers (upper case) is in the collected text, outside the echo.
bool ContainsModemAnswer(const QByteArray& collected, const TStringArray& answers);
