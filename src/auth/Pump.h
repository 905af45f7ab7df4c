#pragma once
// The one-thread wait of the sign-in: events are processed, including the user's clicks,
// until the awaited thing happened, the wait was cancelled or its bound passed.
#include <functional>

namespace corvane::auth {

enum class PumpEnd { Done, Cancelled, TimedOut };

// Waits for the next event with a 2 ms cap, so the wait ends as soon as done() holds.
PumpEnd PumpUntil(const std::function<bool()>& done, const std::function<bool()>& cancelled, int timeoutMs);

}  // namespace corvane::auth
