// A test's hand on the real program, for tests that run it as a separate process (the
// Windows build under Wine among them). Only with the environment variable
// KESTROM_TEST_DRIVE set: the program then reports its window and its traffic log on stderr
// and does what the variable asks once the main window is shown, e.g.
//
//   KESTROM_TEST_DRIVE="channel=2 port=COM5 code=1234 server=40001 log connect"
//
// Fields, each optional, separated by spaces: channel=N (item N of the channel box),
// port=NAME (a port of the port list), address=IP:PORT (the IP channel's address and port),
// phone=NUMBER (the modem channels), code=XXXX (ticks the master code and enters it),
// server=PORT (the local server's port), log (the log window is shown and each of its lines
// reported), connect (clicks "Подключить" last), commands (reads commands from stdin, one a
// line: "click" clicks the connect link as a user would, "close" closes the main window).
// What it reports, one line each:
//
//   TEST window <caption>          TEST ports <name>,<name>,...
//   TEST channel <n> port <name>   (what the window shows before the request is applied)
//   TEST log <line>                TEST error <what could not be done>
#pragma once

#include <QString>
#include <optional>

class TMainKestromForm;

namespace TestDrive {

struct Request {
    std::optional<int> channel;
    QString port;
    QString address; // "IP:PORT"
    QString phone;
    QString code;
    std::optional<quint16> server;
    bool log = false;
    bool connect = false;
    bool commands = false;
    // Why the text was refused; nothing is done then.
    QString error;
};

Request Parse(const QString& text);

// Control characters of a log line as \xNN, so that each line stays one line on stderr.
QString Escape(const QString& line);

// With KESTROM_TEST_DRIVE set: reports the window and acts on the request once the event
// loop runs. Call after the main window has been shown.
void Install(TMainKestromForm* form);

} // namespace TestDrive
