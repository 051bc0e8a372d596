#include "WineSession.h"

#include "WizardProcess.h"

#include <QDir>
#include <QElapsedTimer>

QString WineSession::Start(const QString& root, const QString& port) {
    FLog = QDir(root).filePath("wineserver.log");
    // A display of our own: Xvfb names its number on the descriptor given.
    FDisplay.start(QStringLiteral("Xvfb"),
                   {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
    if (!FDisplay.waitForStarted(10000) ||
        !WizardProcess::waitFor([&] { return FDisplay.canReadLine(); }, 20000))
        return QStringLiteral("Xvfb did not start");
    const QString display = QString::fromLatin1(FDisplay.readLine()).trimmed();
    if (display.isEmpty())
        return QStringLiteral("Xvfb named no display");

    FPrefix = QDir(root).filePath("prefix");
    if (!QDir().mkpath(FPrefix))
        return QStringLiteral("no prefix directory");
    FEnv = QProcessEnvironment::systemEnvironment();
    FEnv.remove("QT_QPA_PLATFORM"); // the Windows Qt has its own platform only
    FEnv.insert("DISPLAY", ":" + display);
    FEnv.insert("WINEPREFIX", FPrefix);
    FEnv.insert("WINEDEBUG", "-all");
    FEnv.insert("WINEDLLOVERRIDES", "mscoree,mshtml="); // no offer to install Mono and Gecko
    if (!StartServer())
        return QStringLiteral("wineserver did not start");
    QElapsedTimer boot;
    boot.start();
    if (!Wine({"wineboot", "-i"}, 180000))
        return QStringLiteral("the Wine prefix could not be made");
    qInfo("Wine prefix made in %lld ms", boot.elapsed());
    // The port as Wine defines one: a DOS device (\??\COMn, and dosdevices/comn leading to
    // the path given), made when its device manager starts, so after a restart.
    if (!Wine({"reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", port, "/t", "REG_SZ", "/d",
               QDir(root).filePath(port), "/f"}))
        return QStringLiteral("the port could not be defined");
    if (!StopServer() || !StartServer())
        return QStringLiteral("wineserver did not restart");
    return {};
}

void WineSession::Stop() {
    if (FServerStarted)
        StopServer();
    if (FDisplay.state() != QProcess::NotRunning) {
        FDisplay.kill();
        FDisplay.waitForFinished();
    }
}

bool WineSession::Wine(const QStringList& args, int ms, QByteArray* out) const {
    QProcess p;
    p.setProcessEnvironment(FEnv);
    p.start(QStringLiteral("wine"), args);
    if (!p.waitForFinished(ms) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        qWarning("wine %s: %s", qPrintable(args.join(u' ')), p.readAllStandardError().constData());
        p.kill();
        p.waitForFinished();
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return true;
}

bool WineSession::StartServer() {
    QProcess server;
    server.setProcessEnvironment(FEnv);
    server.setProgram(QStringLiteral("wineserver"));
    server.setArguments({"-p"});
    server.setStandardOutputFile(FLog, QIODevice::Append);
    server.setStandardErrorFile(FLog, QIODevice::Append);
    FServerStarted = server.startDetached();
    return FServerStarted;
}

bool WineSession::StopServer() {
    QProcess kill;
    kill.setProcessEnvironment(FEnv);
    kill.start(QStringLiteral("wineserver"), {"-k"});
    const bool ok = kill.waitForFinished(30000);
    FServerStarted = !ok;
    return ok;
}
