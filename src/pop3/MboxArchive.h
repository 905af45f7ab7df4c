#pragma once
// The raw archive of received mail: every message exactly as the server sent it (its
// dot-stuffing undone) appended to a standard mbox file in the mboxrd form, so that the
// original can be read again whatever the reader made of it, by this program or any other
// mail client. Appending never reads the file: its cost does not grow with the archive.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {
class EarlyWriteback;
}

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

class MboxArchive : public TRawMessageSink {
 public:
  // The file is created (0600: it holds the user's mail) at the first message.
  explicit MboxArchive(std::string path);
  ~MboxArchive() override;
  MboxArchive(const MboxArchive&) = delete;
  MboxArchive& operator=(const MboxArchive&) = delete;

  const std::string& Path() const { return path_; }

  void BeginMessage() override;
  void Line(std::string_view line) override;
  void Lines(std::string_view lines) override;
  // Writes the rest of the message; "Cannot write file %s" when the disk refuses it.
  void EndMessage() override;
  void AbandonMessage() override;

  // The messages appended so far are on disk, and so is the file's folder entry when this
  // archive created the file.
  void Sync();
  bool Created() const { return created_; }

  // Every message of an mbox file, "From " quoting undone: what Line received.
  static std::vector<std::string> ReadMessages(const std::string& path);

 private:
  void open();
  void flush();
  void writeThrough(std::string_view bytes);
  bool put(std::string_view bytes);

  std::string path_;
  int fd_ = -1;
  bool created_ = false;
  bool failed_ = false;  // a write of the current message failed; the message is undone
  bool lastEndedLine_ = true;
  long long start_ = 0;   // file length before the current message
  long long length_ = 0;  // file length with what has been written of it
  std::unique_ptr<corvane::EarlyWriteback> writeback_;
  std::string buffer_;
};

namespace corvane {
// Puts every file written into folder during a session on disk, folder entries included:
// a few files with one sync each and one for the folder, many with one call for the whole
// file system where the system allows it.
void SyncReceivedFiles(const std::string& folder, const std::vector<std::string>& files);
// Told every file and the folder that SyncReceivedFiles has put on disk, once it has; none
// by default. Process-wide, for checks that need to see what was durable when.
extern void (*ReceivedFileSynced)(const std::string& path);

// Starts writing a large file's bytes to disk while the rest is still coming, a few
// megabytes at a time, so that the sync before the deletions finds little left to do. An
// early start only: nothing is promised before that sync.
class EarlyWriteback {
 public:
  // The file is open at fd (not owned), or opened here to read when fd is -1.
  EarlyWriteback(int fd, const std::string& path);
  ~EarlyWriteback();
  EarlyWriteback(const EarlyWriteback&) = delete;
  EarlyWriteback& operator=(const EarlyWriteback&) = delete;
  // The file now holds size bytes.
  void Grown(long long size);
  // The file was cut back to size bytes.
  void Truncated(long long size);

 private:
  int fd_;
  bool owned_;
  long long started_ = 0;  // writing to disk has begun for the bytes before this offset
};
}  // namespace corvane
