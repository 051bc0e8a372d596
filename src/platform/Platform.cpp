#include "platform/Platform.h"

#include <QApplication>
#include <QFileDialog>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>
#include <cstdio>

namespace Platform {
namespace {
std::function<void(const BoxRecord&)> g_boxHandler;
std::function<QString()> g_saveHandler;
} // namespace

void MessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon) {
    MessageBox(owner, text, caption, icon, {});
}

void MessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                const QList<BoxButton>& buttons) {
    BoxRecord rec{text, caption, icon};
    for (const BoxButton& button : buttons)
        rec.buttons << button.label;
    if (g_boxHandler) {
        g_boxHandler(rec);
        return;
    }
    if (qEnvironmentVariableIntValue("KESTROM_BOXES_TO_STDERR") == 1) {
        std::fprintf(stderr, "BOX [%s] %s\n", caption.toUtf8().constData(), text.toUtf8().constData());
        std::fflush(stderr);
        return;
    }
    QMessageBox::Icon qicon = QMessageBox::Critical;
    if (icon == BoxIcon::Warning)
        qicon = QMessageBox::Warning;
    else if (icon == BoxIcon::Information)
        qicon = QMessageBox::Information;
    QMessageBox box(qicon, caption, text, QMessageBox::NoButton, owner);
    for (const BoxButton& button : buttons) {
        QPushButton* push = box.addButton(button.label, QMessageBox::ActionRole);
        // The box closes on any of its buttons' clicks; these act and leave it open.
        QObject::disconnect(push, &QAbstractButton::clicked, nullptr, nullptr);
        QObject::connect(push, &QPushButton::clicked, &box, button.action);
    }
    box.addButton(QMessageBox::Ok);
    box.exec();
}

void SetMessageBoxHandler(std::function<void(const BoxRecord&)> handler) {
    g_boxHandler = std::move(handler);
}

QString GetSaveFileName(QWidget* owner, const QString& defaultSuffix, const QString& filter) {
    if (g_saveHandler)
        return g_saveHandler();
    QFileDialog dialog(owner);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(defaultSuffix);
    dialog.setNameFilters(filter.split(QStringLiteral(";;")));
    // The log is saved over an existing file without asking.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().constFirst();
}

void SetSaveFileNameHandler(std::function<QString()> handler) {
    g_saveHandler = std::move(handler);
}

void StartFlash(QWidget* window) {
    if (window)
        QApplication::alert(window, 0); // until the window is activated
}

void StopFlash(QWidget*) {
    // The alert ends when the user activates the window, which closing the box does.
}

QFont DialogFont() {
    QFont f = QFontDatabase::families().contains(QStringLiteral("Tahoma"))
                  ? QFont(QStringLiteral("Tahoma"))
                  : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPointSize(8);
    return f;
}

QFont LogFont() {
    QFont f = QFontDatabase::families().contains(QStringLiteral("Courier New"))
                  ? QFont(QStringLiteral("Courier New"))
                  : QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(13);
    return f;
}

} // namespace Platform
