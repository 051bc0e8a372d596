// Thin seams over the platform: message boxes, the save dialog, the program's directory,
// the temporary directory (AppPaths.h) and window flashing. Tests replace them to run
// headless.
#pragma once

#include "platform/AppPaths.h"

#include <QFont>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace Platform {

enum class BoxIcon { Error, Warning, Information };

struct BoxRecord {
    QString text;
    QString caption;
    BoxIcon icon;
    // The labels of the buttons beside OK, if any.
    QStringList buttons = {};
};

// A modal box with one OK button. Returns when it is closed.
void MessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon);

// A button that acts and leaves its box open.
struct BoxButton {
    QString label;
    std::function<void()> action;
};
// A modal box with these buttons before OK; only OK closes it.
void MessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon,
                const QList<BoxButton>& buttons);

// Test seam: every box goes to the handler instead of the screen (empty: real boxes).
// With the environment variable KESTROM_BOXES_TO_STDERR=1 the real program prints each box
// to stderr and does not wait, which lets a test drive two real processes.
void SetMessageBoxHandler(std::function<void(const BoxRecord&)> handler);

// The save-file dialog; empty when the user cancels.
QString GetSaveFileName(QWidget* owner, const QString& defaultSuffix, const QString& filter);
void SetSaveFileNameHandler(std::function<QString()> handler);

// Flash the window's caption and taskbar button until StopFlash (or until activated).
void StartFlash(QWidget* window);
void StopFlash(QWidget* window);

// Tahoma 8 pt where installed, else the default sans-serif at 8 pt.
QFont DialogFont();
// The log list's font: Courier New where installed, else the default monospace, 13 px.
QFont LogFont();

} // namespace Platform
