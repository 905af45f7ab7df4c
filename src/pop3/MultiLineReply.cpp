#include "MultiLineReply.h"

#include "SysUtils.h"

TMultiLineReply::TMultiLineReply(TLineInput& input, TRawMessageSink* sink) : input_(input), sink_(sink) {
  if (sink_) keepRaw([this] { sink_->BeginMessage(); });
}

bool TMultiLineReply::NextLine(std::string& line) {
  if (ended_) return false;
  input_.ReadLine(line);
  if (line == ".\r\n" || line == ".\n") {
    ended_ = true;
    return false;
  }
  // The server doubled the leading dot of this line; the sender wrote one.
  if (line.starts_with("..")) line.erase(0, 1);
  if (sink_) keepRaw([&] { sink_->Line(line); });
  return true;
}

std::string_view TMultiLineReply::Buffered(char stop) {
  if (ended_) return {};
  const std::string_view lines = input_.Buffered();
  // A line that begins with a dot may end the reply or lose its first dot: it goes the way
  // of single lines, as does one that begins with stop.
  size_t run = 0;
  while (run < lines.size() && lines[run] != '.' && lines[run] != stop) run = lines.find('\n', run) + 1;
  shown_ = lines.substr(0, run);
  return shown_;
}

void TMultiLineReply::Take(size_t count) {
  if (sink_) keepRaw([&] { sink_->Lines(shown_.substr(0, count)); });
  shown_ = {};
  input_.Take(count);
}

void TMultiLineReply::Drain() {
  std::string line;
  while (NextLine(line)) {
  }
}

void TMultiLineReply::Finish() {
  Drain();
  if (sinkError_) std::rethrow_exception(sinkError_);
  if (sink_) sink_->EndMessage();
}

void TMultiLineReply::ReadAll(TLineInput& input, const std::function<void(std::string& Line)>& take) {
  TMultiLineReply reply(input);
  std::string line;
  while (reply.NextLine(line)) {
    line.resize(corvane::WithoutLineBreaks(line).size());
    take(line);
  }
}

// A failing archive ends the retrieval once the reply is read, never in its middle.
void TMultiLineReply::keepRaw(const std::function<void()>& step) {
  if (sinkError_) return;
  try {
    step();
  } catch (...) {
    sinkError_ = std::current_exception();
  }
}
