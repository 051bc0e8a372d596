// The traffic log window "Данные": one list fed by the GUI thread and by worker threads.
#pragma once

#include <QCheckBox>
#include <QListWidget>
#include <QMenu>
#include <QThread>
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

// A worker thread that writes its own lines into a log list: each line is formatted on
// the worker and handed to the GUI thread, and the worker waits until it is appended.
class TLogThread : public QThread {
    Q_OBJECT
  public:
    explicit TLogThread(QListWidget* logObject, QObject* parent = nullptr);

    void ThreadLog(const QString& text, const QString& tag);

  protected:
    // Runs on the GUI thread: appends FLogLine and always scrolls to the end, whatever
    // the window's visibility, the cap or the autoscroll box.
    void SyncLog();

    QListWidget* LogObject;
    QString FLogLine;
};

extern TLOGForm* LOGForm;
