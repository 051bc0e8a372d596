// What a crash report says of the main window: the connection's state and the master code
// to keep out of it; and the report of the last run, shown at the next start.
#include "app/CrashReporting.h"

#include "app/MainFormUnit.h"
#include "app/URLLabel.h"
#include "crash/CrashHandler.h"
#include "crash/CrashReport.h"
#include "crash/CrashSnapshot.h"
#include "platform/Platform.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QProcess>
#include <QUrl>

void TMainKestromForm::NoteCrashState() {
    const int channel = ConnectTypeComboBox->currentIndex();
    const QString where = channel == chIP
                              ? IPCombo->currentText() + QLatin1Char(':') + PortCombo->currentText()
                              : PortsListComboBox->currentText();
    const bool setupRunning =
        FSetupIsStarted && FSetupProcInfo && FSetupProcInfo->state() != QProcess::NotRunning;
    CrashSnapshot::SetState(CrashReport::StateLine(channel, URLLabel1->Tag, where, setupRunning));
}

void TMainKestromForm::WatchForCrashReport() {
    CrashSnapshot::SetSecret(MasterKeyEdit->text());
    connect(MasterKeyEdit, &QLineEdit::textChanged, this,
            [](const QString& code) { CrashSnapshot::SetSecret(code); });
    NoteCrashState();
}

namespace CrashReporting {

void Start() {
    const QString dir = CrashReport::Directory();
    const QString unseen = CrashReport::Unseen(dir);
    QString why;
    if (!CrashHandler::Install({dir, CrashHandler::DefaultHelper(), QStringLiteral(KESTROM_VERSION)}, &why))
        qWarning("crash reports are not kept: %s", qPrintable(why));
    CrashReport::Prune(dir);
    if (unseen.isEmpty())
        return;
    CrashReport::MarkSeen(dir, unseen);
    const QString path = QDir(dir).filePath(unseen);
    Platform::MessageBox(
        nullptr, CrashReport::BoxText(path), QStringLiteral("Ошибка"), Platform::BoxIcon::Error,
        {{QStringLiteral("Открыть папку"), [dir] { QDesktopServices::openUrl(QUrl::fromLocalFile(dir)); }},
         {QStringLiteral("Копировать отчёт"), [path] {
              QFile report(path);
              if (report.open(QIODevice::ReadOnly))
                  QGuiApplication::clipboard()->setText(QString::fromUtf8(report.readAll()));
          }}});
}

} // namespace CrashReporting
