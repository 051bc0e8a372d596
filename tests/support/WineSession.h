// A Wine prefix of a test's own on a display of its own (Xvfb), with one Wine server for the
// whole test and a COM port defined as Wine defines one. Shared by the tests that run the
// Windows build under Wine.
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class WineSession {
  public:
    WineSession() = default;
    ~WineSession() { Stop(); }
    WineSession(const WineSession&) = delete;
    WineSession& operator=(const WineSession&) = delete;

    // Starts the display and the Wine server and makes the prefix under root/prefix; port
    // (e.g. "COM12") becomes a DOS device leading to root/<port>. Empty on success, else
    // what failed.
    QString Start(const QString& root, const QString& port);
    // Ends the Wine server and the display; also done by the destructor.
    void Stop();

    // Runs "wine args..." to its end (at most ms); false when it failed. Its stdout to out.
    bool Wine(const QStringList& args, int ms = 60000, QByteArray* out = nullptr) const;

    // The environment of every Wine process of the session.
    const QProcessEnvironment& Env() const { return FEnv; }
    const QString& Prefix() const { return FPrefix; }

  private:
    // One Wine server for the whole test, its chatter in a file: it makes the terminal behind
    // a COM port its controlling terminal and dumps its state when that hangs up.
    bool StartServer();
    bool StopServer();

    QString FLog;
    QString FPrefix;
    QProcess FDisplay;
    QProcessEnvironment FEnv;
    bool FServerStarted = false;
};
