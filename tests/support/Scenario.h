// Drives a test from inside a nested loop. A cable connection runs inside the click that
// started it, so the test cannot wait outside: it lists steps (wait for a condition, then
// act) that a timer works through while the connection runs. A step that does not come
// true within its deadline fails the scenario and ends the connection.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

class Scenario : public QObject {
    Q_OBJECT
  public:
    explicit Scenario(std::function<void()> abort, QObject* parent = nullptr);

    // Waits until condition holds (at most timeoutMs), then runs action.
    Scenario& step(const QString& what, std::function<bool()> condition, std::function<void()> action = {},
                   int timeoutMs = 10000);

    // Starts working through the steps on a short timer (every 10 ms unless set).
    void start();
    void setInterval(int ms) { FTimer.setInterval(ms); }
    // One look at the current step, for after the connection has ended.
    void poll() { tick(); }
    bool finished() const { return FIndex >= FSteps.size(); }
    // Empty when every step came true in time; else which one did not.
    QString failure() const { return FFailure; }

  private:
    void tick();
    struct Step {
        QString what;
        std::function<bool()> condition;
        std::function<void()> action;
        int timeoutMs;
    };
    std::function<void()> FAbort;
    QList<Step> FSteps;
    qsizetype FIndex = 0;
    QTimer FTimer;
    QElapsedTimer FStepClock;
    QString FFailure;
    bool FBusy = false;
};
