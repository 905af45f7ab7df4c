#pragma once
// Where the lines of one received message go exactly as they came, for a raw copy.
#include <string_view>

// What the message reader hands on: one message's lines, in order, with their line ends.
class TRawMessageSink {
 public:
  virtual ~TRawMessageSink() = default;
  virtual void BeginMessage() = 0;
  virtual void Line(std::string_view line) = 0;
  // Several whole lines, each with its line end, as if handed over one by one.
  virtual void Lines(std::string_view lines) {
    while (!lines.empty()) {
      const size_t end = lines.find('\n');
      const size_t length = end == std::string_view::npos ? lines.size() : end + 1;
      Line(lines.substr(0, length));
      lines.remove_prefix(length);
    }
  }
  // The whole message is in.
  virtual void EndMessage() = 0;
  // The message was cut short: nothing of it stays.
  virtual void AbandonMessage() = 0;
};
