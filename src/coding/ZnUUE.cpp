#include "ZnUUE.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "Exceptions.h"

namespace {

constexpr char kMimeAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr int kLineBytes = 45;
// Whole lines per stream call: large blocks keep the stream overhead out of the loop.
constexpr int64_t kEncodeBlock = kLineBytes * 4096;
constexpr size_t kReadBlock = 256 * 1024;
constexpr size_t kSinkSize = 256 * 1024;
const std::string kNoEndLine = " No end line.";

// Base64 digit values; -1 marks a character that has none.
struct MimeValues {
  int8_t v[256];
  constexpr MimeValues() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(kMimeAlphabet[i])] = static_cast<int8_t>(i);
  }
};
constexpr MimeValues kMime;

inline int mimeValue(char c) {
  return kMime.v[static_cast<unsigned char>(c)];
}
inline int uuValue(char c) {
  return (static_cast<unsigned char>(c) - 32) & 63;
}

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

// Hands InputStream's lines out one at a time from large reads. A line ends at LF, or at
// the end of the stream; its LF and one CR before it are not part of it. Lines of any
// length are taken whole, so a long line or a last line without its end loses nothing.
class LineReader {
 public:
  explicit LineReader(TStream& stream) : stream_(stream), start_(stream.Position()), buffer_(bufferFor(stream, kReadBlock)) {}

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
  void Put(char c) {
    if (used_ == bytes_.size()) Flush();
    bytes_[used_++] = c;
  }
  void Put3(uint32_t triple) {
    if (bytes_.size() - used_ < 3) Flush();
    char* p = bytes_.data() + used_;
    p[0] = static_cast<char>(triple >> 16);
    p[1] = static_cast<char>(triple >> 8);
    p[2] = static_cast<char>(triple);
    used_ += 3;
  }
  void Flush() {
    stream_.Write(bytes_.data(), static_cast<int64_t>(used_));
    used_ = 0;
  }

 private:
  TStream& stream_;
  std::vector<char> bytes_;
  size_t used_ = 0;
};

enum class LineResult { Continue, EndAfterLine, EndNow };

// One base64 line. A group never spans two lines. Characters without a value are
// stepped over, also inside a group; "=" closes the group and ends decoding after the line.
LineResult decodeMimeLine(std::string_view line, ByteSink& out) {
  const size_t m = line.size();
  if (m <= 2 || line.starts_with("====")) return LineResult::Continue;
  size_t i = 0;
  while (i < m - 1 && mimeValue(line[i]) < 0) {
    if (line[i] == '=') return LineResult::EndNow;
    ++i;
  }
  if (i == m - 1) return LineResult::Continue;

  LineResult result = LineResult::Continue;
  const char* p = line.data();
  while (i < m - 1) {
    if (i + 4 <= m) {
      const int a = mimeValue(p[i]), b = mimeValue(p[i + 1]), c = mimeValue(p[i + 2]), d = mimeValue(p[i + 3]);
      if ((a | b | c | d) >= 0) {
        out.Put3(static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d));
        i += 4;
        continue;
      }
    }
    const int first = mimeValue(p[i]);
    if (first < 0) {
      ++i;
      continue;
    }
    int v[4] = {first, 0, 0, 0};
    int have = 1;
    bool padded = false;
    size_t k = i + 1;
    while (have < 4 && k < m) {
      const int value = mimeValue(p[k]);
      if (value >= 0) {
        v[have++] = value;
      } else if (p[k] == '=') {
        padded = true;
        break;
      }
      ++k;
    }
    if (have >= 2) out.Put(static_cast<char>(v[0] << 2 | v[1] >> 4));
    if (have >= 3) out.Put(static_cast<char>(v[1] << 4 | v[2] >> 2));
    if (have == 4) out.Put(static_cast<char>(v[2] << 6 | v[3]));
    if (!padded) {
      i = k;
      continue;
    }
    result = LineResult::EndAfterLine;
    // A "=" in the fourth place is stepped over by the scan; one in the third skips the fourth.
    i = have == 3 ? k : k + 1;
  }
  return result;
}

// One uuencode data line: the count character, then groups of four characters giving
// three bytes each. Characters missing at the end (blanks stripped in transit) count as 0.
void decodeUULine(std::string_view line, ByteSink& out) {
  int n = uuValue(line[0]);
  const char* p = line.data() + 1;
  const size_t avail = line.size() - 1;
  size_t i = 0;
  for (; n >= 3 && i + 4 <= avail; n -= 3, i += 4) {
    out.Put3(static_cast<uint32_t>(uuValue(p[i]) << 18 | uuValue(p[i + 1]) << 12 | uuValue(p[i + 2]) << 6 |
                                   uuValue(p[i + 3])));
  }
  for (; n > 0; n -= 3, i += 4) {
    int d[4];
    for (size_t j = 0; j < 4; ++j) d[j] = i + j < avail ? uuValue(p[i + j]) : 0;
    out.Put(static_cast<char>(d[0] << 2 | d[1] >> 4));
    if (n >= 2) out.Put(static_cast<char>(d[1] << 4 | d[2] >> 2));
    if (n >= 3) out.Put(static_cast<char>(d[2] << 6 | d[3]));
  }
}

bool isBeginLine(std::string_view line) {
  return line.starts_with("begin ");
}

bool isEndLine(std::string_view line) {
  if (!line.starts_with("end")) return false;
  return std::all_of(line.begin() + 3, line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

}  // namespace

void TZnUUProcessor::requireStreams() const {
  if (InputStream == nullptr) throw Exception("No input stream to code");
  if (OutputStream == nullptr) throw Exception("No output stream to code into");
}

void TZnUUProcessor::Encode() {
  requireStreams();
  try {
    InputStream->SetPosition(0);
    Fire(OnBeginEncode, this);
    if (Method == uuCode) {
      Alphabet[0] = '`';
      for (int v = 1; v < 64; ++v) Alphabet[static_cast<size_t>(v)] = static_cast<char>(32 + v);
    } else {
      std::memcpy(Alphabet.data(), kMimeAlphabet, 64);
    }
    encodeLines();
  } catch (...) {
    OutputStream->SetPosition(0);
    Fire(OnEndEncode, this);
    throw;
  }
  OutputStream->SetPosition(0);
  Fire(OnEndEncode, this);
}

void TZnUUProcessor::encodeLines() {
  // Each pair holds the two characters of one 12-bit half of a three-byte group.
  std::vector<char> pairs(2 * 4096);
  for (size_t v = 0; v < 4096; ++v) {
    pairs[2 * v] = Alphabet[v >> 6];
    pairs[2 * v + 1] = Alphabet[v & 63];
  }
  const bool uu = Method == uuCode;
  // Whole lines per block, so no line is split between two blocks.
  const int64_t lines = static_cast<int64_t>(bufferFor(*InputStream, kEncodeBlock, 1) + kLineBytes - 1) / kLineBytes;
  const int64_t block = lines * kLineBytes;
  std::vector<char> in(static_cast<size_t>(block));
  std::vector<char> out(static_cast<size_t>(lines) * (kLineBytes / 3 * 4 + 3));
  for (;;) {
    const int64_t got = readFully(*InputStream, in.data(), block);
    if (got == 0) break;
    const auto* src = reinterpret_cast<const unsigned char*>(in.data());
    char* dst = out.data();
    for (int64_t done = 0; done < got; done += kLineBytes) {
      const int n = static_cast<int>(std::min<int64_t>(kLineBytes, got - done));
      if (uu) *dst++ = Alphabet[static_cast<size_t>(n)];
      const unsigned char* s = src + done;
      int left = n;
      for (; left >= 3; left -= 3, s += 3) {
        const uint32_t v = static_cast<uint32_t>(s[0]) << 16 | static_cast<uint32_t>(s[1]) << 8 | s[2];
        std::memcpy(dst, &pairs[2 * (v >> 12)], 2);
        std::memcpy(dst + 2, &pairs[2 * (v & 0xFFF)], 2);
        dst += 4;
      }
      if (left == 1) {
        *dst++ = Alphabet[s[0] >> 2];
        *dst++ = Alphabet[(s[0] << 4) & 48];
        if (!uu) *dst++ = '=', *dst++ = '=';
      } else if (left == 2) {
        *dst++ = Alphabet[s[0] >> 2];
        *dst++ = Alphabet[((s[0] << 4) & 48) | (s[1] >> 4)];
        *dst++ = Alphabet[(s[1] << 2) & 60];
        if (!uu) *dst++ = '=';
      }
      *dst++ = '\r';
      *dst++ = '\n';
    }
    OutputStream->Write(out.data(), dst - out.data());
    if (got < block) break;
  }
  if (uu) {
    const char zeroLine[3] = {Alphabet[0], '\r', '\n'};
    OutputStream->Write(zeroLine, 3);
  }
}

void TZnUUProcessor::Decode() {
  requireStreams();
  Fire(OnBeginDecode, this);
  if (Method == uuCode)
    decodeUU();
  else
    decodeMime();
  Fire(OnEndDecode, this);
}

void TZnUUProcessor::decodeMime() {
  LineReader reader(*InputStream);
  ByteSink out(*OutputStream, *InputStream);
  std::string_view line;
  while (reader.Next(line)) {
    const LineResult r = decodeMimeLine(line, out);
    if (r != LineResult::Continue) break;
  }
  out.Flush();
  reader.Settle();
}

void TZnUUProcessor::decodeUU() {
  LineReader reader(*InputStream);
  ByteSink out(*OutputStream, *InputStream);
  // A zero-count line closes the data and wants "end" next; after "end" the lines are
  // text until the next "begin".
  enum class State { Data, ExpectEnd, AfterEnd } state = State::Data;
  std::string_view line;
  while (reader.Next(line)) {
    if (state == State::ExpectEnd) {
      state = State::Data;
      if (!isEndLine(line)) {
        out.Flush();
        Fire(OnMessage, kNoEndLine);
      }
    }
    if (isBeginLine(line)) {
      state = State::Data;
      continue;
    }
    if (isEndLine(line)) {
      state = State::AfterEnd;
      continue;
    }
    if (state == State::AfterEnd || line.size() <= 2) continue;
    if (uuValue(line[0]) == 0) {
      state = State::ExpectEnd;
      continue;
    }
    decodeUULine(line, out);
  }
  out.Flush();
  reader.Settle();
  if (state == State::ExpectEnd) Fire(OnMessage, kNoEndLine);
}
