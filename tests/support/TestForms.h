// Fixtures for tests of the windows: the four forms created in order over a temporary
// settings store and program directory, with every message box recorded instead of shown.
#pragma once

#include "platform/Platform.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class BoxRecorder {
  public:
    BoxRecorder();
    ~BoxRecorder();
    QList<Platform::BoxRecord> boxes;
    QStringList texts() const;
};

// Creates the forms with the store and the program directory in fresh temporary
// directories (setup.ini absent unless the test writes one there before Create()).
class FormsFixture {
  public:
    FormsFixture();
    ~FormsFixture();
    void Create();
    void Destroy();
    QString appDir() const { return FAppDir.path(); }
    QString configDir() const { return FConfigDir.path(); }
    QString tempDir() const { return FTempDir.path(); }
    // Writes setup.ini in the program directory.
    void WriteSetupIni(const QByteArray& content) const;
    BoxRecorder boxes;

  private:
    QTemporaryDir FAppDir;
    QTemporaryDir FConfigDir;
    QTemporaryDir FTempDir;
    bool FCreated = false;
};

// A loopback TCP port nobody listens on right now.
quint16 FreeTcpPort();

// All lines of the log list.
QStringList LogLines();
// The text of a GUI-thread log line after "stamp: " (tag, space, text).
QString LogBody(const QString& line);

// The permission bits of a file (stat, following links); -1 when it is not there.
int ModeOf(const QString& path);

// Every byte value once, 0x00 to 0xFF.
QByteArray AllByteValues();

// Points the sample setup program the wizard starts at the server port given and hands it
// its mode ("sink", "echo", "script", ...) and script; returns the path of its record
// file in dir.
QString PrepareSetupSim(const QString& dir, const QString& serverPort, const QByteArray& mode,
                        const QByteArray& script = {});
