// Checking by itself, on a hand-driven clock: what each check reports, and that the
// interval follows its box and ends when checking is off or stopped. The way being blocked
// and the window closing are tried through the window against real servers.
#include <gtest/gtest.h>

#include <QSpinBox>
#include <memory>
#include <string>
#include <vector>

#include "AutoCheck.h"
#include "Exceptions.h"

namespace {

class HandTimer : public AutoCheck::Timer {
 public:
  void Start(int ms, std::function<void()> elapsed) override {
    interval = ms;
    elapsed_ = std::move(elapsed);
  }
  void Stop() override { interval = 0; }
  bool Active() const override { return interval > 0; }
  // The interval passes.
  void Pass() {
    ASSERT_TRUE(Active());
    interval = 0;
    elapsed_();
  }

  int interval = 0;

 private:
  std::function<void()> elapsed_;
};

class AutoCheckTest : public testing::Test {
 protected:
  AutoCheckTest() {
    auto timer = std::make_unique<HandTimer>();
    clock = timer.get();
    AutoCheck::Host host;
    host.wayIsClear = [] { return true; };
    host.check = [this] {
      ++checks;
      if (!failure.empty()) throw Exception(failure);
      return found;
    };
    host.status = [this](const std::string& text) { reports.push_back(text); };
    host.clock = [] { return std::string("09:41"); };
    check = std::make_unique<AutoCheck>(std::move(host), std::move(timer));
  }

  HandTimer* clock = nullptr;
  std::unique_ptr<AutoCheck> check;
  int found = 0;
  std::string failure;
  int checks = 0;
  std::vector<std::string> reports;
};

TEST_F(AutoCheckTest, EachIntervalRunsOneCheckAndReportsWhatItFoundOrWhatEndedIt) {
  check->SetMinutes(5);
  EXPECT_EQ(clock->interval, 5 * 60 * 1000);
  const struct {
    int found;
    std::string failure;
    std::string report;
  } cases[] = {
      {0, "", "Checked for mail at 09:41: no new messages"},
      {1, "", "Checked for mail at 09:41: 1 new message"},
      {3, "", "Checked for mail at 09:41: 3 new messages"},
      {0, "Authentication failed", "Checking for mail failed at 09:41: Authentication failed"},
  };
  for (const auto& c : cases) {
    found = c.found;
    failure = c.failure;
    clock->Pass();
    EXPECT_EQ(reports.back(), c.report);
    // The next interval starts when the check ends, failed or not.
    EXPECT_EQ(clock->interval, 5 * 60 * 1000);
  }
  EXPECT_EQ(checks, 4);
}

TEST_F(AutoCheckTest, TheBoxsValueTakesEffectAtOnceAndOffOrStopEndsTheChecks) {
  QSpinBox box;
  box.setRange(0, 1440);
  box.setValue(10);
  check->Follow(&box);
  EXPECT_EQ(clock->interval, 10 * 60 * 1000);
  box.setValue(2);
  EXPECT_EQ(clock->interval, 2 * 60 * 1000);
  box.setValue(0);
  EXPECT_FALSE(check->Armed());
  check->Elapsed();
  EXPECT_EQ(checks, 0);

  box.setValue(3);
  check->Stop();
  EXPECT_FALSE(check->Armed());
  box.setValue(4);
  check->Elapsed();
  EXPECT_FALSE(check->Armed());
  EXPECT_EQ(checks, 0);
}

}  // namespace
