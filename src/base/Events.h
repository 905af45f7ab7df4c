#pragma once
// Event kinds of the components. An event is a public std::function member named
// after it (OnConnect, OnStatus ...), fired only when assigned.
#include <functional>
#include <string>

// Base of every component and record that is handed to events as their Sender.
class TObject {
public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
// Asks its handler once to put a problem right; the step is repeated once when Handled is set.
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnStatus = std::function<void(TObject* Sender, const std::string& Status)>;

// Fires an event only when a handler is assigned.
template <typename Event, typename... Args>
void Fire(const Event& event, Args&&... args) {
  if (event) event(std::forward<Args>(args)...);
}
