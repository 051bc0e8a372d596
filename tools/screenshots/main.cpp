// kestrom-screenshots DIR: pictures of the real wizard for the README, taken from its own
// windows (QWidget::grab). It creates the program's windows as main() does, works them as
// a technician would (choosing channels, ticking the master code, clicking the connect
// link, opening the traffic log) against a simulated panel on a pseudo-terminal and the
// sample setup program, and saves:
//   main-modem.png main-cable.png main-ip.png   the main window on each channel
//   main-connected.png                          connected to the panel
//   log-session.png                             the traffic log during that session
//   error-box.png                               the box of an IP connection refused
// scripts/screenshots runs it under Xvfb. The user's settings are not touched.
#include "PanelSim.h"
#include "app/AppStartup.h"
#include "app/MainFormUnit.h"
#include "log/LOGUnit.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QMessageBox>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

namespace {

QString g_outDir;
bool g_failed = false;

void fail(const char* what) {
    std::fprintf(stderr, "kestrom-screenshots: %s\n", what);
    g_failed = true;
}

// Lets the event loop run until cond holds or ms pass.
bool waitUntil(const std::function<bool()>& cond, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!cond()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void settle() {
    waitUntil([] { return false; }, 150); // let pending paints and layouts run
}

void save(QWidget* w, const char* name) {
    const QString path = g_outDir + QLatin1Char('/') + QLatin1String(name);
    if (!w->grab().save(path))
        fail(qPrintable(QStringLiteral("cannot write ") + path));
    else
        std::printf("%s\n", qPrintable(path));
}

void chooseChannel(int channel) {
    MainKestromForm->ConnectTypeComboBox->setCurrentIndex(channel);
    emit MainKestromForm->ConnectTypeComboBox->activated(channel);
}

// A step condition that holds ms after it was first asked.
std::function<bool()> after(int ms) {
    auto clock = std::make_shared<QElapsedTimer>();
    return [clock, ms] {
        if (!clock->isValid())
            clock->start();
        return clock->elapsed() >= ms;
    };
}

quint16 FreeLocalPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Norvak"));
    QApplication::setApplicationName(QStringLiteral("Kestrom"));
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrom-screenshots DIR\n");
        return 2;
    }
    g_outDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(g_outDir);
    AppStartup::Prepare(app);

    // A settings store of its own; the setup program's copy goes to a temporary directory.
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/ks-XXXXXX"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       work.filePath(QStringLiteral("config")));
    qputenv("TMPDIR", QFile::encodeName(work.path()));

    // The panel answers the sample setup program's requests and acknowledges a binary block.
    PanelSim::Config config;
    const QByteArray binary = QByteArray::fromHex("0210a55a00ff7e81c3183c66990d0a1b");
    config.script = {
        {"STATUS?\r", "STATUS=READY,ZONES=8,ARMED=0\r\n"}, {"LOG?\r", "LOG=3\r\n"}, {binary, "\x06"}};
    PanelSim panel(config);
    if (!panel.startPty(work.filePath(QStringLiteral("ttyUSB0")))) {
        fail(qPrintable(panel.errorString()));
        return 1;
    }
    qputenv("KESTROM_EXTRA_PORTS", QFile::encodeName(panel.portName()));

    // The sample setup program asks twice and then sends the block.
    QFile script(work.filePath(QStringLiteral("setup.script")));
    if (!script.open(QIODevice::WriteOnly))
        return 1;
    script.write("send " + QByteArray("STATUS?\r").toHex(' ') + "\nexpect " +
                 QByteArray("STATUS=READY").toHex(' ') + "\nwait 200\nsend " +
                 QByteArray("LOG?\r").toHex(' ') + "\nexpect " + QByteArray("LOG=3").toHex(' ') +
                 "\nwait 200\nsend " + binary.toHex(' ') + "\nexpect 06\n");
    script.close();
    qputenv("KESTROM_SETUP_MODE", "script");
    qputenv("KESTROM_SETUP_SCRIPT", QFile::encodeName(script.fileName()));

    // Whatever goes wrong, a box nobody closes never keeps a script waiting.
    QTimer watchdog;
    QObject::connect(&watchdog, &QTimer::timeout, [] {
        std::fprintf(stderr, "kestrom-screenshots: gave up after 60 s\n");
        if (MainKestromForm)
            MainKestromForm->StopSetup();
        std::fflush(stdout);
        std::_Exit(1);
    });
    watchdog.start(60000);

    CreateForms();
    MainKestromForm->show();
    settle();
    // The simulated panel's port, not one of the machine's own.
    const int portIndex = MainKestromForm->PortsListComboBox->findText(panel.portName());
    if (portIndex < 0) {
        fail("the simulated port is not in the port list");
        return 1;
    }
    MainKestromForm->PortsListComboBox->setCurrentIndex(portIndex);

    chooseChannel(chModemV32);
    MainKestromForm->PhoneNumber->setEditText(QStringLiteral("+79001234567"));
    settle();
    save(MainKestromForm, "main-modem.png");

    chooseChannel(chIP);
    MainKestromForm->IPCombo->setEditText(QStringLiteral("192.168.1.10"));
    MainKestromForm->PortCombo->setEditText(QStringLiteral("4001"));
    settle();
    save(MainKestromForm, "main-ip.png");

    chooseChannel(chCable);
    MainKestromForm->MKChB->click();
    MainKestromForm->MasterKeyEdit->setText(QStringLiteral("1234"));
    settle();
    save(MainKestromForm, "main-cable.png");

    // From here on the steps run from a timer: a click on the link runs the relay loop
    // nested in it, and the following steps run inside that loop. Each step waits for its
    // condition, then acts.
    struct Step {
        std::function<bool()> ready;
        std::function<void()> act;
    };
    QList<Step> steps;
    QByteArray seen;
    QObject::connect(&panel, &PanelSim::deviceDataReceived, [&seen](const QByteArray& b) { seen += b; });

    // The session: the traffic log open (Ctrl+Alt+L) and following the end, then connect.
    steps.append({[] { return true; },
                  [] {
                      MainKestromForm->FormKeyDown(Qt::Key_L, Qt::ControlModifier | Qt::AltModifier);
                      LOGForm->AutiscrollCheckBox->click();
                      MainKestromForm->URLLabel1->Click(); // "Подключить"; returns when disconnected
                  }});
    steps.append({[&] {
                      return seen.contains(binary) && LOGForm->Log->count() > 0 &&
                             MainKestromForm->Label7->text() == QStringLiteral("Подключен");
                  },
                  [] {}});
    // The log list is drawn at most every 50 ms; the next picture waits for it.
    steps.append({after(300), [] {
                      save(MainKestromForm, "main-connected.png");
                      save(LOGForm, "log-session.png");
                      MainKestromForm->URLLabel1->Click(); // "Отключить"
                  }});
    // An IP connection to a port nobody listens on.
    steps.append({[] { return MainKestromForm->URLLabel1->Tag == lsIdle; },
                  [] {
                      LOGForm->hide();
                      chooseChannel(chIP);
                      MainKestromForm->IPCombo->setEditText(QStringLiteral("127.0.0.1"));
                      MainKestromForm->PortCombo->setEditText(QString::number(FreeLocalPort()));
                      MainKestromForm->URLLabel1->Click();
                  }});
    steps.append({[] {
                      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                      return box && box->isVisible();
                  },
                  [] {
                      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                      save(box, "error-box.png");
                      box->accept();
                  }});
    steps.append({after(300), [] {
                      if (MainKestromForm->URLLabel1->Tag != lsIdle)
                          MainKestromForm->URLLabel1->Click(); // what is left of the attempt
                      MainKestromForm->close();
                      QCoreApplication::quit();
                  }});

    // A step's click runs nested loops that the next steps run in; a timer does not fire
    // again while its own handler runs, so every poll is a timer of its own, started before
    // the step acts.
    std::function<void()> poll = [&steps, &poll] {
        if (steps.isEmpty())
            return;
        if (!steps.first().ready()) {
            QTimer::singleShot(20, poll);
            return;
        }
        const Step step = steps.takeFirst();
        QTimer::singleShot(20, poll);
        step.act();
    };
    QTimer::singleShot(0, poll);
    app.exec();

    MainKestromForm->close();
    DestroyForms();
    return g_failed ? 1 : 0;
}
