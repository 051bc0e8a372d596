// The wizard as a separate process, driven through KESTROM_TEST_DRIVE (src/app/TestDrive.h)
// and read from its stderr: the Linux program itself, or the Windows build under Wine.
// Every wait runs the event loop until its condition holds or its deadline passes, so a
// panel simulator on this thread keeps answering meanwhile.
#pragma once

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <functional>

class PanelSim;

class WizardProcess : public QObject {
    Q_OBJECT
  public:
    // command: the program, or a runner and the program ({"wine", ".../kestrom.exe"}).
    WizardProcess(const QStringList& command, const QProcessEnvironment& env);
    ~WizardProcess() override;

    bool start();
    // stderr so far, line by line.
    QStringList lines() const { return FLines; }
    // The bodies of the traffic log's lines ("tag text" after the time stamp).
    QStringList logBodies() const;
    // The first stderr line that starts with prefix, without it; empty if none yet.
    QString reported(const QString& prefix) const;
    // A command for the drive's stdin reader ("click", "close").
    void command(const QByteArray& line);

    // Runs the event loop until condition holds (looked at on every event and every 20 ms) or
    // ms pass; false on time-out.
    static bool waitFor(const std::function<bool()>& condition, int ms);
    bool waitForLine(const QString& prefix, int ms);
    bool waitForExit(int ms);
    bool running() const { return FProcess.state() != QProcess::NotRunning; }
    qint64 processId() const { return FProcess.processId(); }
    int exitCode() const { return FProcess.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return FProcess.exitStatus(); }
    void kill();
    // What went wrong, for a failure message: the last lines of stderr.
    QString tail(int count = 40) const;

  private:
    QProcess FProcess;
    QStringList FCommand;
    QStringList FLines;
    QByteArray FPartial;
};

// A whole cable session against a running wizard whose drive was given
// "code=1234 ... log connect commands", the panel on the port it selected and the sample
// setup program in script mode with the script WholeSessionScript(): the handshake, the
// setup program started, every byte value to the panel and back, then "Отключить". Empty
// when it all happened, else what did not. recordPath: the setup program's record file.
QString RunWholeCableSession(WizardProcess& wizard, PanelSim& panel, const QString& recordPath);
// The sample setup program's script for it: every byte value sent, and expected back.
QByteArray WholeSessionScript();
// The record file's lines.
QStringList RecordLines(const QString& recordPath);
