#include "CodedStreams.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "Base64.h"
#include "UUCode.h"

namespace mime {
namespace {

// Whole lines per stream call: large blocks keep the stream overhead out of the loop.
constexpr int64_t kEncodeBlock = kCodedLineBytes * 4096;
constexpr size_t kReadBlock = 256 * 1024;
constexpr size_t kSinkSize = 256 * 1024;

// The size of a working buffer for what is left of stream, at most most bytes (and at
// least min): a small part must not cost large zero-filled allocations.
size_t bufferFor(TStream& stream, size_t most, size_t min = 64) {
  const int64_t left = std::max<int64_t>(0, stream.Size() - stream.Position());
  return static_cast<size_t>(std::clamp<int64_t>(left + 1, static_cast<int64_t>(min), static_cast<int64_t>(most)));
}

// Fills buffer from stream until it is full or the stream has nothing more.
int64_t readFully(TStream& stream, char* buffer, int64_t count) {
  int64_t total = 0;
  while (total < count) {
    const int64_t n = stream.Read(buffer + total, count - total);
    if (n <= 0) break;
    total += n;
  }
  return total;
}

// Hands a stream's lines out one at a time from large reads. A line ends at LF, or at the
// end of the stream; its LF and one CR before it are not part of it. Lines of any length
// are taken whole, so a long line or a last line without its end loses nothing.
class LineReader {
 public:
  explicit LineReader(TStream& stream)
      : stream_(stream), start_(stream.Position()), buffer_(bufferFor(stream, kReadBlock)) {}

  bool Next(std::string_view& line) {
    for (;;) {
      const char* base = buffer_.data();
      const void* lf = std::memchr(base + begin_, '\n', end_ - begin_);
      if (lf != nullptr) {
        const size_t at = static_cast<size_t>(static_cast<const char*>(lf) - base);
        line = take(at, at + 1);
        return true;
      }
      if (eof_) {
        if (begin_ == end_) return false;
        line = take(end_, end_);
        return true;
      }
      refill();
    }
  }

  // Puts the stream just after the last line handed out.
  void Settle() { stream_.SetPosition(start_ + consumed_); }

 private:
  std::string_view take(size_t lineEnd, size_t next) {
    size_t len = lineEnd - begin_;
    if (len > 0 && buffer_[begin_ + len - 1] == '\r') --len;
    std::string_view line(buffer_.data() + begin_, len);
    consumed_ += static_cast<int64_t>(next - begin_);
    begin_ = next;
    return line;
  }

  void refill() {
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    const int64_t n = stream_.Read(buffer_.data() + end_, static_cast<int64_t>(buffer_.size() - end_));
    if (n <= 0)
      eof_ = true;
    else
      end_ += static_cast<size_t>(n);
  }

  TStream& stream_;
  int64_t start_;
  int64_t consumed_ = 0;
  std::vector<char> buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
};

// Collects decoded bytes and writes them to the output stream in large pieces.
class ByteSink {
 public:
  ByteSink(TStream& stream, TStream& input) : stream_(stream), bytes_(bufferFor(input, kSinkSize)) {}
  // Room for count more bytes, valid until Commit.
  char* Reserve(size_t count) {
    if (bytes_.size() - used_ < count) Flush();
    if (bytes_.size() < count) bytes_.resize(count);
    return bytes_.data() + used_;
  }
  void Commit(size_t count) { used_ += count; }
  void Flush() {
    stream_.Write(bytes_.data(), static_cast<int64_t>(used_));
    used_ = 0;
  }

 private:
  TStream& stream_;
  std::vector<char> bytes_;
  size_t used_ = 0;
};

}  // namespace

void EncodeLines(TStream& in, TStream& out, const SixBitLines& code) {
  // Whole lines per block, so no line is split between two blocks.
  const int64_t lines = static_cast<int64_t>(bufferFor(in, kEncodeBlock, 1) + kCodedLineBytes - 1) /
                        static_cast<int64_t>(kCodedLineBytes);
  const int64_t block = lines * static_cast<int64_t>(kCodedLineBytes);
  std::vector<char> bytes(static_cast<size_t>(block));
  std::vector<char> text(SixBitLines::LinesRoom(static_cast<size_t>(block), kCodedLineBytes));
  for (;;) {
    const int64_t got = readFully(in, bytes.data(), block);
    if (got == 0) break;
    const char* end = code.EncodeLines(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<size_t>(got),
                                       kCodedLineBytes, text.data());
    out.Write(text.data(), end - text.data());
    if (got < block) break;
  }
}

void DecodeBase64Lines(TStream& in, TStream& out) {
  LineReader reader(in);
  ByteSink sink(out, in);
  std::string_view line;
  while (reader.Next(line)) {
    size_t written = 0;
    const Base64LineEnd end = DecodeBase64Line(line, sink.Reserve(MaxDecodedLine(line.size())), written);
    sink.Commit(written);
    if (end != Base64LineEnd::Continue) break;
  }
  sink.Flush();
  reader.Settle();
}

void DecodeUULines(TStream& in, TStream& out, const CoderNotice& notice) {
  LineReader reader(in);
  ByteSink sink(out, in);
  UUDecoder decoder;
  std::string_view line;
  while (reader.Next(line)) {
    const UUDecoder::Step step = decoder.Next(line);
    if (step.missingEnd) {
      sink.Flush();
      if (notice) notice(kUUNoEndLine);
    }
    if (step.data) sink.Commit(DecodeUULine(line, sink.Reserve(kMaxUULineBytes)));
  }
  sink.Flush();
  reader.Settle();
  if (decoder.EndMissing() && notice) notice(kUUNoEndLine);
}

std::string DecodeUUText(std::string_view text, const CoderNotice& notice) {
  TMemoryStream in, out;
  in.SetData(std::string(text));
  if (in.Size() > 0) DecodeUULines(in, out, notice);
  return out.Data();
}

}  // namespace mime
