#include "Scenario.h"

Scenario::Scenario(std::function<void()> abort, QObject* parent) : QObject(parent), FAbort(std::move(abort)) {
    FTimer.setInterval(10);
    connect(&FTimer, &QTimer::timeout, this, &Scenario::tick);
}

Scenario& Scenario::step(const QString& what, std::function<bool()> condition, std::function<void()> action,
                         int timeoutMs) {
    FSteps.append({what, std::move(condition), std::move(action), timeoutMs});
    return *this;
}

void Scenario::start() {
    FStepClock.start();
    FTimer.start();
}

void Scenario::tick() {
    // An action may run a nested loop (a click); the timer must not re-enter meanwhile.
    if (FBusy || finished() || !FFailure.isEmpty())
        return;
    FBusy = true;
    const Step& s = FSteps.at(FIndex);
    if (s.condition()) {
        ++FIndex;
        FStepClock.restart();
        if (s.action)
            s.action();
        if (finished())
            FTimer.stop();
    } else if (FStepClock.elapsed() > s.timeoutMs) {
        FFailure = QStringLiteral("step %1 (%2) did not happen within %3 ms")
                       .arg(FIndex + 1)
                       .arg(s.what)
                       .arg(s.timeoutMs);
        FTimer.stop();
        if (FAbort)
            FAbort();
    }
    FBusy = false;
}
