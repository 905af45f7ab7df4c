#pragma once
// A multi-line reply of a POP3 server (RFC 1939): its lines up to the end line ".", the
// leading dot of every doubled one taken off. RETR, UIDL, CAPA and the replies of commands
// sent ahead are all read through it.
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "MessageWalker.h"
#include "RawMessageSink.h"

// Where the lines of a reply come from. ReadLine may wait for a line; Buffered and Take
// let the reader take runs of lines that have already arrived in one step, without a copy
// per line. A source without a buffer of its own keeps the defaults.
class TLineInput {
 public:
  virtual ~TLineInput() = default;
  // The next line with its line end, into line (its storage reused).
  virtual void ReadLine(std::string& line) = 0;
  // Complete lines at hand, each with its line end, that ReadLine would return next
  // without waiting; empty when there are none. Valid until the next call of any of these.
  virtual std::string_view Buffered() { return {}; }
  // Drops the first count bytes of what Buffered showed, as ReadLine would have.
  virtual void Take(size_t) {}
};

// Never asks for a line past the end line, so the next reply stays where it is. With a
// sink, every line of the reply goes there exactly as the sender wrote it; a sink that
// fails is let go, and its failure waits until the reply has been read whole.
class TMultiLineReply : public mime::LineInput {
 public:
  explicit TMultiLineReply(TLineInput& input, TRawMessageSink* sink = nullptr);

  bool NextLine(std::string& line) override;
  std::string_view Buffered(char stop) override;
  void Take(size_t count) override;

  // Reads and drops what is left of the reply.
  void Drain();
  // Drains the reply, then raises the sink's failure or tells it the reply is complete.
  void Finish();
  // Calls Take for each line up to the end line, without its line end and any stray CR.
  static void ReadAll(TLineInput& input, const std::function<void(std::string& Line)>& take);

 private:
  void keepRaw(const std::function<void()>& step);

  TLineInput& input_;
  TRawMessageSink* sink_;
  std::exception_ptr sinkError_;
  bool ended_ = false;
  std::string_view shown_;
};
