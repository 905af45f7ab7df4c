// The message reader on a line source: any bytes as the lines of a RETR reply, ended by
// the terminating line. It never crashes, never asks for a line past the terminating one,
// and never writes a file anywhere but as a plain file in the attachment folder, each one
// listed in the record. The same lines are read a second time as a socket's receive
// buffer serves them, in packets of varying size with runs of complete lines at hand: both
// ways give the same record and the same files, and the buffered way stops right after the
// terminating line.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "Exceptions.h"
#include "FuzzSupport.h"
#include "MessageReader.h"
#include "Streams.h"

namespace {

// Entry names of a folder, "." and ".." left out, with their kinds.
template <typename Visit>
void forEachEntry(const std::string& folder, Visit visit) {
  DIR* dir = ::opendir(folder.c_str());
  FUZZ_CHECK(dir != nullptr);
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    FUZZ_CHECK(::lstat((folder + name).c_str(), &st) == 0);
    visit(name, st);
  }
  ::closedir(dir);
}

// The wire as a receive buffer serves it: packets of pseudo-random size arrive, ReadLine
// waits for a whole line, Buffered shows the complete lines that have arrived.
class PacketInput : public TLineInput {
 public:
  PacketInput(std::string_view wire, uint32_t seed) : wire_(wire), state_(seed | 1) {}
  void ReadLine(std::string& line) override {
    for (;;) {
      const size_t lf = wire_.substr(0, arrived_).find('\n', head_);
      if (lf != std::string_view::npos) {
        line.assign(wire_.substr(head_, lf + 1 - head_));
        head_ = lf + 1;
        return;
      }
      FUZZ_CHECK(arrived_ < wire_.size());  // asked past the end of the reply
      arrive();
    }
  }
  std::string_view Buffered() override {
    if (next() % 3 == 0) arrive();
    shown_ = wire_.substr(head_, arrived_ - head_);
    shown_ = shown_.substr(0, shown_.rfind('\n') + 1);
    return shown_;
  }
  void Take(size_t count) override {
    FUZZ_CHECK(count <= shown_.size());
    FUZZ_CHECK(count == 0 || wire_[head_ + count - 1] == '\n');
    head_ += count;
    shown_ = {};
  }
  size_t Head() const { return head_; }

 private:
  uint32_t next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  void arrive() {
    const size_t size = next() % 8 == 0 ? 1 + next() % 20000 : 1 + next() % 300;
    arrived_ = std::min(wire_.size(), arrived_ + size);
  }

  std::string_view wire_;
  uint32_t state_;
  size_t head_ = 0;
  size_t arrived_ = 0;
  std::string_view shown_;
};

void checkFolder(const std::string& root, const std::string& folder, const TMailMessage& message) {
  forEachEntry(root, [&](const std::string& name, const struct stat& st) {
    FUZZ_CHECK(name == "att");
    FUZZ_CHECK(S_ISDIR(st.st_mode));
  });
  forEachEntry(folder, [&](const std::string& name, const struct stat& st) {
    FUZZ_CHECK(S_ISREG(st.st_mode));
    FUZZ_CHECK(name != "mailin.txt" && name != "mailbook.txt" && name != "corvane.lock");
  });
  for (int i = 0; i < message.Attachments.Count(); ++i)
    FUZZ_CHECK(message.Attachments[i].find('/') == std::string::npos);
}

struct Outcome {
  std::vector<std::string> header, body, attachments;
  std::map<std::string, std::string> files;
  bool failed = false;
  bool operator==(const Outcome&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string root = fuzz::ScratchFolder();
  const std::string folder = root + "att/";

  // The reply's lines: the input's, a last one without its end given CR LF, then the
  // terminating line (the input may hold an earlier one, ended by CR LF or a bare LF).
  std::string wire(input);
  if (!wire.empty() && wire.back() != '\n') wire += "\r\n";
  const size_t terminator = [&] {
    for (size_t pos = 0; pos < wire.size();) {
      const size_t end = wire.find('\n', pos) + 1;
      const std::string_view line = std::string_view(wire).substr(pos, end - pos);
      if (line == ".\r\n" || line == ".\n") return end;
      pos = end;
    }
    return std::string::npos;
  }();
  wire += ".\r\n";

  const auto readWith = [&](const auto& read) {
    fuzz::EmptyFolder(root);
    ::mkdir(folder.c_str(), 0700);
    TMailMessage message;
    TMessageReader reader(message);
    reader.AttachFilePath = folder;
    reader.ReservedFileNames = {"mailin.txt", "mailbook.txt", "corvane.lock"};
    Outcome outcome;
    try {
      read(reader);
    } catch (const Exception&) {
      // A refused part (a name the folder cannot take) ends the message with an error.
      outcome.failed = true;
    }
    checkFolder(root, folder, message);
    outcome.header = message.Header.Items();
    outcome.body = message.Body.Items();
    outcome.attachments = message.Attachments.Items();
    forEachEntry(folder, [&](const std::string& name, const struct stat&) {
      outcome.files[name] = corvane::ReadFile(folder + name);
    });
    // Every file a message read whole leaves in the folder is one it lists: nothing is
    // written that the user is not told of.
    if (!outcome.failed) {
      FUZZ_CHECK(outcome.files.size() == outcome.attachments.size());
      for (const std::string& name : outcome.attachments) FUZZ_CHECK(outcome.files.count(name) == 1);
    }
    return outcome;
  };

  size_t pos = 0;
  bool ended = false;
  const Outcome byLines = readWith([&](TMessageReader& reader) {
    reader.Read([&]() -> std::string {
      FUZZ_CHECK(!ended);
      const size_t end = wire.find('\n', pos) + 1;
      std::string line = wire.substr(pos, end - pos);
      pos = end;
      if (line == ".\r\n" || line == ".\n") ended = true;
      return line;
    });
  });

  uint32_t seed = 2166136261u;
  for (const char c : input) seed = (seed ^ static_cast<unsigned char>(c)) * 16777619u;
  PacketInput packets(wire, seed);
  const Outcome buffered = readWith([&](TMessageReader& reader) { reader.Read(packets); });
  FUZZ_CHECK(buffered == byLines);
  if (!byLines.failed) FUZZ_CHECK(packets.Head() == (terminator == std::string::npos ? wire.size() : terminator));
  return 0;
}
