#pragma once

// What the program asks of the system beyond its windows: the screen, the
// clock, the event loop, the process and its title, and the other running
// copy. Behind an interface so that tests can run the start-up in
// milliseconds, on any screen width, and watch it end.

#include <QString>
#include <QTime>
#include <chrono>
#include <cstdint>
#include <functional>

namespace tambrel::platform {

class System {
  public:
    virtual ~System() = default;
    virtual int32_t screenWidthTwips() = 0;
    // Wall clock in seconds, for waits.
    virtual double clockSeconds() = 0;
    // Handles every queued window event, then returns.
    virtual void doEvents() = 0;
    // Between two turns of a wait: lets the processor rest a moment.
    virtual void rest() {}
    // Ends the process at once: no handler runs and nothing is saved.
    virtual void terminate() = 0;
    // The folder of the running executable, in the native form.
    virtual QString exeFolder() = 0;
    virtual QString appTitle() = 0;
    virtual void setAppTitle(const QString& title) = 0;
    // True when another copy of the program runs; otherwise this copy
    // becomes the running one and `onActivate` answers later copies.
    virtual bool anotherInstanceRunning(std::function<void()> onActivate) = 0;
    // Brings the running copy's window to the front and makes it active.
    virtual bool activateRunningInstance() = 0;
    // How long the window may wait for a file it asked of a folder's thread:
    // none in the program, whose window goes on and takes the answer later.
    virtual std::chrono::milliseconds fileWait() { return {}; }
    // The time of day the studio's clock shows.
    virtual QTime timeOfDay() { return QTime::currentTime(); }
};

// Waits at least `seconds` on the wall clock, handling window events meanwhile.
void waitSeconds(System& system, double seconds);

class SingleInstance;

class QtSystem final : public System {
  public:
    QtSystem();
    ~QtSystem() override;
    int32_t screenWidthTwips() override;
    double clockSeconds() override;
    void doEvents() override;
    void rest() override;
    void terminate() override;
    QString exeFolder() override;
    QString appTitle() override;
    void setAppTitle(const QString& title) override;
    bool anotherInstanceRunning(std::function<void()> onActivate) override;
    bool activateRunningInstance() override;

  private:
    SingleInstance* instance();
    SingleInstance* instance_ = nullptr;
};

}  // namespace tambrel::platform
