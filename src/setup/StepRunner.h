#pragma once
// The steps of a discovery (a lookup, a request, a probe) each run against a bound of
// their own, measured on a clock the caller may replace, and all of them end at once when
// the user cancels. Waits pump Qt events as every wait of the program does.
#include <cstdint>
#include <functional>
#include <optional>

#include "BackgroundTask.h"

struct TDiscoveryOptions {
  int StepTimeoutMs = 5000;
  // Milliseconds on a monotonic clock; empty: the system's steady clock.
  std::function<int64_t()> Clock;
};

class TStepRunner {
 public:
  explicit TStepRunner(TDiscoveryOptions options) : options_(std::move(options)) {}

  // Starts the bound of a new step.
  void BeginStep();
  // The step's time is up, or the user cancelled.
  bool Expired() const;
  void Cancel() { canceled_ = true; }
  bool Canceled() const { return canceled_; }
  void Reset() { canceled_ = false; }
  int StepTimeoutMs() const { return options_.StepTimeoutMs; }

  // Pumps events until done() holds (true) or the step expired (false, after stop()).
  bool Wait(const std::function<bool()>& done, const std::function<void()>& stop = {});
  // Runs work on a worker within the step; nothing when the step expired first.
  template <typename Answer>
  std::optional<Answer> OnWorker(std::function<Answer()> work) {
    std::optional<Answer> answer;
    TBackgroundTask task;
    task.Start([work = std::move(work), &answer]() -> std::function<void()> {
      Answer found = work();
      return [found = std::move(found), &answer] { answer = found; };
    });
    Wait([&answer] { return answer.has_value(); }, [&task] { task.Cancel(); });
    return answer;
  }

 private:
  int64_t now() const;

  TDiscoveryOptions options_;
  int64_t deadline_ = 0;
  bool canceled_ = false;
};
