#include "log/LOGUnit.h"

#include "crash/CrashSnapshot.h"
#include "log/LogFormat.h"
#include "log/TimeFuncs.h"
#include "platform/LogFileText.h"
#include "platform/Platform.h"
#include "platform/PrivateFile.h"

#include <QContextMenuEvent>
#include <QFile>
#include <QScrollBar>
#include <QVBoxLayout>

TLOGForm* LOGForm = nullptr;

namespace {
void scrollToEnd(QListWidget* list) {
    if (list->count() > 0)
        list->scrollToItem(list->item(list->count() - 1), QAbstractItemView::PositionAtBottom);
}
} // namespace

TLOGForm::TLOGForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Данные"));
    setFont(Platform::DialogFont());
    resize(635, 300);
    move(0, 0);

    Log = new QListWidget(this);
    Log->setObjectName(QStringLiteral("Log"));
    Log->setFont(Platform::LogFont());
    Log->setSelectionMode(QAbstractItemView::SingleSelection);
    Log->setUniformItemSizes(true);

    AutiscrollCheckBox = new QCheckBox(QStringLiteral("Прокрутка"), this);
    AutiscrollCheckBox->setObjectName(QStringLiteral("AutiscrollCheckBox"));
    AutiscrollCheckBox->setFixedHeight(17);
    connect(AutiscrollCheckBox, &QCheckBox::clicked, this, [this] { AutiscrollCheckBoxClick(); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Log, 1);
    auto* boxRow = new QVBoxLayout;
    boxRow->setContentsMargins(3, 3, 3, 3);
    boxRow->addWidget(AutiscrollCheckBox);
    layout->addLayout(boxRow);

    PopupMenu = new QMenu(this);
    N1 = PopupMenu->addAction(QStringLiteral("Очистить"));
    N2 = PopupMenu->addAction(QStringLiteral("Сохранить"));
    connect(N1, &QAction::triggered, this, [this] { N1Click(); });
    connect(N2, &QAction::triggered, this, [this] { N2Click(); });
    Log->setContextMenuPolicy(Qt::DefaultContextMenu);

    FRepaintTimer = new QTimer(this);
    FRepaintTimer->setSingleShot(true);
    FRepaintTimer->setInterval(50);
    connect(FRepaintTimer, &QTimer::timeout, this, [this] { Log->setUpdatesEnabled(true); });
}

void TLOGForm::HoldRepaint() {
    if (FRepaintTimer->isActive())
        return;
    Log->setUpdatesEnabled(false);
    FRepaintTimer->start();
}

void TLOGForm::contextMenuEvent(QContextMenuEvent* event) {
    if (Log->geometry().contains(event->pos()))
        PopupMenu->popup(event->globalPos());
}

void TLOGForm::AddLog(const QString& text, const QString& tag) {
    // Messages logged while the window is hidden are lost: this is the normal state
    // until the technician opens the window.
    if (!isVisible())
        return;
    HoldRepaint();
    const QStringList lines = LogFormat::splitLines(text);
    for (const QString& line : lines) {
        if (Log->count() > LogFormat::MaxLines)
            Log->clear();
        const QString shown = LogFormat::guiLine(TimeStamp(), tag, line);
        Log->addItem(shown);
        CrashSnapshot::AddLogLine(shown);
    }
    if (AutiscrollCheckBox->isChecked())
        scrollToEnd(Log);
}

void TLOGForm::AutiscrollCheckBoxClick() {
    // AddLog reads the box every time; nothing to remember here.
}

void TLOGForm::N1Click() {
    Log->clear();
}

bool TLOGForm::SaveToFile(const QString& fileName, QString* error) const {
    QByteArray bytes;
    for (int i = 0; i < Log->count(); ++i) {
        bytes += LogFileText(Log->item(i)->text());
        bytes += "\r\n";
    }
    // The log shows the master code in clear text: the file is this user's alone, and one
    // that another account owns (it could read it) is not written.
    QString why;
    if (!PrivateFile::Prepare(fileName, PrivateFile::Folder::Existing, &why)) {
        if (error)
            *error = why;
        return false;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    file.close();
    return true;
}

void TLOGForm::N2Click() {
    const QString name = Platform::GetSaveFileName(this, QStringLiteral("log"),
                                                   QStringLiteral("log files (*.log);;all files (*.*)"));
    if (name.isEmpty())
        return;
    QString error;
    if (!SaveToFile(name, &error))
        Platform::MessageBox(this, QStringLiteral("Не удалось сохранить файл %1: %2").arg(name, error),
                             QStringLiteral("Ошибка"), Platform::BoxIcon::Error);
}

void SyncLog(QListWidget* LogObject, const QString& line) {
    LogObject->addItem(line);
    CrashSnapshot::AddLogLine(line);
    scrollToEnd(LogObject);
}
