// A worker thread's lines for the traffic log: each line is formatted on the worker (time
// stamp, tag) and handed to the thread the receiver lives in (the GUI thread); the worker
// waits until the sink there has taken it, so the lines keep their order among the GUI's.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class TThreadLogger {
  public:
    using Sink = std::function<void(const QString& Line)>;
    // An empty sink takes nothing: the lines are formatted and dropped.
    TThreadLogger(QObject* receiver, Sink sink);

    // Text with line breaks becomes one line each.
    void ThreadLog(const QString& text, const QString& tag);

  private:
    QObject* FReceiver;
    Sink FSink;
    QString FLogLine; // the line being handed over; the worker waits, so no lock
};
