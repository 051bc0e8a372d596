// What the application object needs before the first window: Qt's own strings in
// Russian like the rest of the interface, the program's icon on every window (title bar
// and taskbar), and the desktop entry's name for the desktop's window grouping.
#pragma once

#include <QIcon>
#include <QString>

class QApplication;
class QTranslator;

namespace AppStartup {

// The name of the installed desktop entry (kestrom.desktop), without ".desktop".
inline constexpr char DesktopFileName[] = "kestrom";

// Installs Qt's Russian translation (qtbase_ru.qm: the standard buttons, the file
// dialog) from dir into the application. The translator belongs to the application;
// nullptr when dir holds no usable translation, and Qt's strings stay English.
QTranslator* LoadQtTranslations(const QString& dir);

// The program's icon in every size it is drawn in.
QIcon ProgramIcon();

// All of the above, with the translations from Qt's own translations directory; ends the
// event loop choice.
void Prepare(QApplication& app);

// Before the application object exists: Qt's own event loop instead of GLib's. The relay
// runs its passes through the event loop, and a GLib iteration costs each of them a
// quarter more time per round trip. An explicit QT_NO_GLIB in the environment wins.
void ChooseEventLoop();
// Once the application object exists: the choice is not handed on to the programs the
// wizard starts (Prepare does this).
void EndEventLoopChoice();

} // namespace AppStartup
