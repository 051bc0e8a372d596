#include "app/AppStartup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

// The icons live in a resource of the static core library; its initialiser has to be
// named once so the linker keeps it.
static void initIconResource() {
    Q_INIT_RESOURCE(kestrom_icons);
}

namespace AppStartup {

QTranslator* LoadQtTranslations(const QString& dir) {
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (!translator->load(QStringLiteral("qtbase_ru"), dir) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

QIcon ProgramIcon() {
    initIconResource();
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kestrom-%1.png").arg(size), QSize(size, size));
    return icon;
}

void Prepare(QApplication& app) {
    LoadQtTranslations(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
    app.setWindowIcon(ProgramIcon());
    QGuiApplication::setDesktopFileName(QString::fromLatin1(DesktopFileName));
    EndEventLoopChoice();
}

namespace {
bool EventLoopChosenHere = false;
} // namespace

void ChooseEventLoop() {
    if (qEnvironmentVariableIsSet("QT_NO_GLIB"))
        return;
    qputenv("QT_NO_GLIB", "1");
    EventLoopChosenHere = true;
}

void EndEventLoopChoice() {
    if (EventLoopChosenHere)
        qunsetenv("QT_NO_GLIB");
    EventLoopChosenHere = false;
}

} // namespace AppStartup
