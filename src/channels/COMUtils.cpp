// The part of COMUtils that is the same on every platform: the string forms of reads and
// writes, the bounded write of short commands, the port list's filters and the test seam.
// Each platform's own part is COMUtils_posix.cpp or COMUtils_win.cpp.
#include "channels/COMUtils.h"

#include "channels/COMUtils_p.h"

#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int SpeedTolerancePercent = 2;

QMutex enumeratorMutex;
std::function<QStringList()> enumeratorForTest;
QString failureForTest;

std::function<QStringList()> testEnumerator() {
    QMutexLocker lock(&enumeratorMutex);
    return enumeratorForTest;
}

} // namespace

bool COMSpeedMatches(int actual, int requested) {
    if (actual <= 0)
        return false;
    const long long diff = std::llabs(static_cast<long long>(actual) - requested);
    return diff * 100 <= static_cast<long long>(requested) * SpeedTolerancePercent;
}

bool COMNaturalLess(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit())
                ++ei;
            while (ej < b.size() && b[ej].isDigit())
                ++ej;
            // Compare digit runs by value: strip leading zeros, then length, then text.
            qsizetype si = i, sj = j;
            while (si + 1 < ei && a[si] == u'0')
                ++si;
            while (sj + 1 < ej && b[sj] == u'0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int c = QStringView(a).mid(si, ei - si).compare(QStringView(b).mid(sj, ej - sj));
            if (c != 0)
                return c < 0;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

QByteArray ReadCOMString(COMHandle handle) {
    QByteArray buffer(COM_BUFFER_SIZE, Qt::Uninitialized);
    const int n = ReadCOMData(handle, buffer.data());
    if (n <= 0)
        return {};
    buffer.truncate(n);
    buffer.replace('\0', ' ');
    return buffer;
}

int WriteCOMDataWithin(COMHandle handle, const char* data, int count, int waitMs) {
    if (data == nullptr || count <= 0)
        return 0;
    const auto deadline = Clock::now() + milliseconds(std::max(0, waitMs));
    int written = 0;
    while (written < count) {
        const int r = WriteCOMData(handle, data + written, count - written);
        if (r < 0)
            return written > 0 ? written : -1;
        written += r;
        if (written == count)
            break;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        if (!COMWaitWritable(handle, static_cast<int>(left.count())))
            return written > 0 ? written : -1;
    }
    return written;
}

int WriteCOMString(COMHandle handle, const QByteArray& s) {
    return WriteCOMDataWithin(handle, s.constData(),
                              static_cast<int>(std::min<qsizetype>(s.size(), INT32_MAX)), ShortWriteLimitMs);
}

bool GetCOMPortList(QStringList& list, const QString& prefix, QString* error) {
    const std::function<QStringList()> enumerator = testEnumerator();
    QString failure;
    {
        QMutexLocker lock(&enumeratorMutex);
        failure = failureForTest;
    }
    QStringList all;
    if (!failure.isEmpty() || (!enumerator && !COMMachinePorts(all, failure))) {
        if (error)
            *error = failure;
        return false;
    }
    if (enumerator) {
        all = enumerator();
    } else {
        // Ports the machine cannot list (a panel simulator's pseudo-terminal, a udev alias,
        // a port Wine maps), named by the user; listed while present.
        const QString extra = qEnvironmentVariable("KESTROM_EXTRA_PORTS");
        for (const QString& name : extra.split(u':', Qt::SkipEmptyParts)) {
            if (!all.contains(name) && COMDevicePresent(name))
                all.append(name);
        }
    }
    list.clear();
    for (const QString& name : all) {
        if (name.startsWith(prefix, Qt::CaseSensitive))
            list.append(name);
    }
    return true;
}

bool COMPortExists(const QString& portName) {
    if (portName.isEmpty())
        return false;
    if (const std::function<QStringList()> enumerator = testEnumerator()) {
        // Whole names only: ttyUSB1 is not present because ttyUSB10 is.
        const QString path = COMPortPath(portName);
        const QStringList names = enumerator();
        const bool listed = std::any_of(names.begin(), names.end(), [&](const QString& n) {
            return n == portName || COMPortPath(n) == path;
        });
        if (!listed)
            return false;
    }
    return COMDevicePresent(portName);
}

void SetCOMPortEnumeratorForTest(std::function<QStringList()> enumerator) {
    QMutexLocker lock(&enumeratorMutex);
    enumeratorForTest = std::move(enumerator);
}

void SetCOMPortListFailureForTest(const QString& message) {
    QMutexLocker lock(&enumeratorMutex);
    failureForTest = message;
}
