#include "log/TimeFuncs.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLocale>
#include <atomic>

namespace {
std::atomic<quint32> g_offset{0};
std::atomic<int> g_scale{1};

const QElapsedTimer& monotonic() {
    static const QElapsedTimer timer = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return timer;
}
} // namespace

QString TimeStamp() {
    // Linux has no locale time separator setting of its own; the colon serves.
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy.MM.dd hh:mm:ss.zzz"));
}

quint32 GetTickCount() {
    const quint64 ms = quint64(monotonic().elapsed());
    return quint32(quint64(g_offset.load()) + ms * quint64(g_scale.load()));
}

int TicksToRealMs(quint32 ticks) {
    const int scale = g_scale.load();
    return int((quint64(ticks) + quint64(scale) - 1) / quint64(scale));
}

void SetTickClockForTest(quint32 offset, int scale) {
    // Keep the tick continuous where the test wants it to start: offset is the value now.
    const quint64 ms = quint64(monotonic().elapsed());
    const int s = scale < 1 ? 1 : scale;
    g_scale.store(s);
    g_offset.store(quint32(quint64(offset) - ms * quint64(s)));
}
