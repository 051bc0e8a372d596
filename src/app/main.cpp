#include "app/AppStartup.h"
#include "app/CrashReporting.h"
#include "app/MainFormUnit.h"
#include "app/SingleInstance.h"
#include "app/TestDrive.h"
#include "platform/Platform.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    AppStartup::ChooseEventLoop();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Norvak"));
    QApplication::setApplicationName(QStringLiteral("Kestrom"));
    AppStartup::Prepare(app);

    SingleInstance instance;
    if (!instance.Claim()) {
        Platform::MessageBox(nullptr, QStringLiteral("Приложение уже запущено."),
                             QStringLiteral("Предупреждение"), Platform::BoxIcon::Warning);
        return 0;
    }
    CrashReporting::Start();

    CreateForms();
    // Closing the main window ends the program, whatever other windows are still open.
    QObject::connect(MainKestromForm, &TMainKestromForm::Closed, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    MainKestromForm->show();
    TestDrive::Install(MainKestromForm);
    const int rc = app.exec();
    DestroyForms();
    return rc;
}
