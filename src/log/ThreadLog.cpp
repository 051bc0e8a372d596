#include "log/ThreadLog.h"

#include "log/LogFormat.h"
#include "log/TimeFuncs.h"

#include <QThread>

TThreadLogger::TThreadLogger(QObject* receiver, Sink sink) : FReceiver(receiver), FSink(std::move(sink)) {}

void TThreadLogger::ThreadLog(const QString& text, const QString& tag) {
    for (const QString& line : LogFormat::splitLines(text)) {
        FLogLine = LogFormat::threadLine(TimeStamp(), tag, line);
        if (!FSink)
            continue;
        if (QThread::currentThread() == FReceiver->thread())
            FSink(FLogLine);
        else
            QMetaObject::invokeMethod(
                FReceiver, [this] { FSink(FLogLine); }, Qt::BlockingQueuedConnection);
    }
}
