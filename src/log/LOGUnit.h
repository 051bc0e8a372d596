// The traffic log window "Данные": one list fed by the GUI thread and by worker threads.
#pragma once

#include <QCheckBox>
#include <QListWidget>
#include <QMenu>
#include <QTimer>
#include <QWidget>

class TLOGForm : public QWidget {
    Q_OBJECT
  public:
    explicit TLOGForm(QWidget* parent = nullptr);

    QListWidget* Log;
    QCheckBox* AutiscrollCheckBox;
    QMenu* PopupMenu;
    QAction* N1; // "Очистить"
    QAction* N2; // "Сохранить"

    // GUI-thread logging: nothing is recorded while the window is hidden; the cap is
    // tested before every line; the view follows the end only when "Прокрутка" is ticked.
    void AddLog(const QString& text, const QString& tag);

    void AutiscrollCheckBoxClick();
    void N1Click();
    void N2Click();

    // Writes every line followed by CR LF (LogFileText: UTF-8 on POSIX, the ANSI code page on
    // Windows). False with the reason on failure.
    bool SaveToFile(const QString& fileName, QString* error) const;

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    // Lines go into the list at once; the list is drawn again at most every 50 ms, so a
    // technician watching a busy relay does not slow it down to the speed of repainting.
    void HoldRepaint();
    QTimer* FRepaintTimer;
};

// A worker thread's line, formatted on the worker, as the GUI thread appends it: whatever
// the window's visibility, the cap or the autoscroll box, and always scrolled to the end.
void SyncLog(QListWidget* LogObject, const QString& line);

extern TLOGForm* LOGForm;
