#pragma once
// Checking for mail by itself: while the window is open, every so many minutes a whole
// receive session runs (connect, retrieve, sign off) as a click on Connect would run it,
// but only when the way is clear: no session of either side open, no box or set-up flow
// waiting for the user. A check that finds the way blocked waits for the next interval.
// What a check ends with goes to the status bar with the time, never into a box.
#include <QMetaObject>
#include <functional>
#include <memory>
#include <string>

class QSpinBox;
class TZnSocket;

class AutoCheck {
 public:
  // The clock the interval runs on: a Qt timer in the program, driven by hand in tests.
  class Timer {
   public:
    virtual ~Timer() = default;
    // Calls elapsed once, ms from now; a second Start replaces the first.
    virtual void Start(int ms, std::function<void()> elapsed) = 0;
    virtual void Stop() = 0;
    virtual bool Active() const = 0;
  };

  struct Host {
    std::function<bool()> wayIsClear;
    // One whole receive session; the number of messages it stored. Raises what ended it.
    std::function<int()> check;
    std::function<void(const std::string&)> status;
    // The time of day a report names, "HH:MM".
    std::function<std::string()> clock = LocalTime;
  };

  explicit AutoCheck(Host host, std::unique_ptr<Timer> timer = QtTimer());
  ~AutoCheck();
  AutoCheck(const AutoCheck&) = delete;
  AutoCheck& operator=(const AutoCheck&) = delete;

  static std::unique_ptr<Timer> QtTimer();
  static std::string LocalTime();
  // No session of either component is open or under way, and no modal box or pop-up of
  // the application is up.
  static bool Idle(const TZnSocket& receive, const TZnSocket& send);

  // Minutes between checks; 0 turns checking off. The interval starts anew at once.
  void SetMinutes(int minutes);
  int Minutes() const { return minutes_; }
  // From now on the interval is the box's value, changed as the user changes it.
  void Follow(QSpinBox* box);
  // The interval has passed.
  void Elapsed();
  // For good, as the window closes: no check starts from now on.
  void Stop();
  bool Armed() const { return timer_->Active(); }

 private:
  void arm();
  void run();

  Host host_;
  std::unique_ptr<Timer> timer_;
  int minutes_ = 0;
  bool running_ = false;
  bool stopped_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  QMetaObject::Connection following_;
};
