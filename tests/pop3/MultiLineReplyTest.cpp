// The one reader of multi-line replies: where a reply ends, which dots go, what the raw
// copy gets, and the runs of lines it lets the walker take at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MultiLineReply.h"
#include "RawMessageSink.h"

namespace {

// The wire as one buffer that has all arrived; reading past it is a fault of the reader.
class Wire : public TLineInput {
 public:
  explicit Wire(std::string bytes) : bytes_(std::move(bytes)) {}
  void ReadLine(std::string& line) override {
    const size_t lf = bytes_.find('\n', head_);
    ASSERT_NE(lf, std::string::npos) << "read past the end of the reply";
    line = bytes_.substr(head_, lf + 1 - head_);
    head_ = lf + 1;
  }
  std::string_view Buffered() override { return std::string_view(bytes_).substr(head_); }
  void Take(size_t count) override { head_ += count; }
  std::string Unread() const { return bytes_.substr(head_); }

 private:
  std::string bytes_;
  size_t head_ = 0;
};

class Recorder : public TRawMessageSink {
 public:
  void BeginMessage() override { log += "<"; }
  void Line(std::string_view line) override { log += line; }
  void EndMessage() override { log += ">"; }
  void AbandonMessage() override { log += "!"; }
  std::string log;
};

const std::string kNext = "+OK next\r\n";

TEST(MultiLineReply, EndsAtItsEndLineAndUndoesDoubledDotsForEveryReader) {
  struct Case {
    std::string wire;
    std::vector<std::string> lines;  // as ReadAll hands them on
  };
  const Case cases[] = {
      {".\r\n", {}},
      {"1 a\r\n..2 b\r\n...\r\n.\r\n", {"1 a", ".2 b", ".."}},
      {"bare lf\n.\n", {"bare lf"}},
      {"stray cr\r\r\n. \r\n.\r\n", {"stray cr", ". "}},
  };
  for (const Case& c : cases) {
    Wire wire(c.wire + kNext);
    std::vector<std::string> lines;
    TMultiLineReply::ReadAll(wire, [&](std::string& line) { lines.push_back(line); });
    EXPECT_EQ(lines, c.lines) << c.wire;
    EXPECT_EQ(wire.Unread(), kNext) << c.wire;
  }
}

TEST(MultiLineReply, RunsStopBeforeDotsAndTheStopCharacterAndReachTheRawCopyAsLines) {
  Wire wire("a\r\nb\r\n--x\r\nc\r\n..d\r\ne\r\n.\r\n" + kNext);
  Recorder sink;
  TMultiLineReply reply(wire, &sink);
  EXPECT_EQ(reply.Buffered('-'), "a\r\nb\r\n");
  reply.Take(3);
  std::string line;
  ASSERT_TRUE(reply.NextLine(line));
  EXPECT_EQ(line, "b\r\n");
  ASSERT_TRUE(reply.NextLine(line));
  EXPECT_EQ(line, "--x\r\n");
  EXPECT_EQ(reply.Buffered('-'), "c\r\n");
  reply.Take(3);
  EXPECT_EQ(reply.Buffered('-'), "");
  reply.Finish();
  EXPECT_EQ(sink.log, "<a\r\nb\r\n--x\r\nc\r\n.d\r\ne\r\n>");
  EXPECT_EQ(wire.Unread(), kNext);
  EXPECT_EQ(reply.Buffered('-'), "");
}

// A sink that fails is let go at once; the reply is still read to its end.
TEST(MultiLineReply, AFailingRawCopyFailsOnlyOnceTheReplyIsRead) {
  class Failing : public Recorder {
    void Line(std::string_view) override { throw std::runtime_error("disk full"); }
  } sink;
  Wire wire("a\r\nb\r\n.\r\n" + kNext);
  TMultiLineReply reply(wire, &sink);
  std::string line;
  ASSERT_TRUE(reply.NextLine(line));
  EXPECT_THROW(reply.Finish(), std::runtime_error);
  EXPECT_EQ(wire.Unread(), kNext);
  EXPECT_EQ(sink.log, "<");
}

}  // namespace
