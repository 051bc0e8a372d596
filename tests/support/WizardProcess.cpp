#include "WizardProcess.h"

#include "PanelSim.h"
#include "TestForms.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>

WizardProcess::WizardProcess(const QStringList& command, const QProcessEnvironment& env) : FCommand(command) {
    FProcess.setProcessEnvironment(env);
    connect(&FProcess, &QProcess::readyReadStandardError, this, [this] {
        FPartial += FProcess.readAllStandardError();
        qsizetype end;
        while ((end = FPartial.indexOf('\n')) >= 0) {
            FLines << QString::fromUtf8(FPartial.left(end)).remove(u'\r');
            FPartial.remove(0, end + 1);
        }
    });
}

WizardProcess::~WizardProcess() {
    kill();
}

bool WizardProcess::start() {
    if (FCommand.isEmpty())
        return false;
    FProcess.setProgram(FCommand.first());
    FProcess.setArguments(FCommand.mid(1));
    FProcess.start();
    return FProcess.waitForStarted(10000);
}

QStringList WizardProcess::logBodies() const {
    QStringList out;
    for (const QString& l : FLines)
        if (l.startsWith(QLatin1String("TEST log ")))
            out << l.mid(9 + 25); // after "TEST log " and the "yyyy.mm.dd hh:mm:ss.zzz: " stamp
    return out;
}

QString WizardProcess::reported(const QString& prefix) const {
    for (const QString& l : FLines)
        if (l.startsWith(prefix))
            return l.mid(prefix.size());
    return {};
}

void WizardProcess::command(const QByteArray& line) {
    FProcess.write(line + '\n');
}

bool WizardProcess::waitFor(const std::function<bool()>& condition, int ms) {
    QDeadlineTimer deadline(ms);
    // Some conditions change without an event here (a file another process writes): the
    // loop looks again every 20 ms, as QTRY_VERIFY does.
    QTimer tick;
    tick.start(20);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

bool WizardProcess::waitForLine(const QString& prefix, int ms) {
    return waitFor(
        [&] {
            return std::any_of(FLines.begin(), FLines.end(),
                               [&](const QString& l) { return l.startsWith(prefix); });
        },
        ms);
}

bool WizardProcess::waitForExit(int ms) {
    return waitFor([this] { return FProcess.state() == QProcess::NotRunning; }, ms);
}

void WizardProcess::kill() {
    if (FProcess.state() == QProcess::NotRunning)
        return;
    FProcess.kill();
    FProcess.waitForFinished(5000);
}

QString WizardProcess::tail(int count) const {
    return FLines.mid(qMax<qsizetype>(0, FLines.size() - count)).join(u'\n');
}

QStringList RecordLines(const QString& recordPath) {
    QFile f(recordPath);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).remove(u'\r').split(u'\n', Qt::SkipEmptyParts);
}

QByteArray WholeSessionScript() {
    return "send " + AllByteValues().toHex(' ') + "\nexpect " + AllByteValues().toHex(' ') + "\n";
}

QString RunWholeCableSession(WizardProcess& wizard, PanelSim& panel, const QString& recordPath) {
    const auto has = [&](const QString& body) { return wizard.logBodies().contains(body); };
    if (!wizard.waitFor([&] { return has(QStringLiteral(" Оболочка подключилась к мосту.")); }, 30000))
        return QStringLiteral("the setup program did not connect");
    if (!wizard.waitFor([&] { return RecordLines(recordPath).contains(QStringLiteral("script pass")); },
                        20000))
        return QStringLiteral("the bytes did not go to the panel and back: ") +
               RecordLines(recordPath).join(u'|');
    wizard.command("click"); // "Отключить"
    if (!wizard.waitFor(
            [&] {
                return has(QStringLiteral(
                           " Установили \"Нет подключения\", нажатие на кнопку подключения при "
                           "подключенном приборе (разрыв подключения)")) &&
                       has(QStringLiteral("APP->COM +rb")) && panel.rbReceived();
            },
            10000))
        return QStringLiteral("the disconnect did not end the connection with \"+rb\"");

    // The panel saw the dialogue, then the relayed bytes unchanged (0x11 and 0x13 included).
    const QList<QByteArray> dialogue = {"+CHECK_MASTER_CODE=1,\"1234\"", "+VER_INFO=?"};
    if (panel.commands().mid(0, 2) != dialogue)
        return QStringLiteral("the panel's dialogue: ") + QString::fromLatin1(panel.commands().join('|'));
    if (!panel.deviceData().startsWith(AllByteValues()))
        return QStringLiteral("the panel got other bytes: ") +
               QString::fromLatin1(panel.deviceData().toHex(' '));
    const QStringList expectedInOrder = {
        QStringLiteral(" COM порт успешно открыт"),
        QStringLiteral("APP->COM +CHECK_MASTER_CODE=1,\"1234\""),
        QStringLiteral("COM->APP OK"),
        QStringLiteral("APP->COM +VER_INFO=?"),
        QStringLiteral("COM->APP +VER_INFO=1,\"SIMPANEL.01.00\",\"2024\""),
        QStringLiteral(" Оболочка подключилась к мосту."),
        QStringLiteral("APP->COM +rb"),
    };
    const QStringList bodies = wizard.logBodies();
    qsizetype at = 0;
    for (const QString& e : expectedInOrder) {
        at = bodies.indexOf(e, at);
        if (at < 0)
            return QStringLiteral("missing or out of order in the log: ") + e + u'\n' + bodies.join(u'\n');
    }
    return {};
}
