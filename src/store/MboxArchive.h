#pragma once
// The raw archive of received mail: every message exactly as the server sent it (its
// dot-stuffing undone) appended to a standard mbox file in the mboxrd form, so that the
// original can be read again whatever the reader made of it, by this program or any other
// mail client. Appending never reads the file: its cost does not grow with the archive.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FileSync.h"
#include "RawMessageSink.h"

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

  // The file's length after the last message ended whole; -1 before the first message.
  long long End() const { return end_; }

  // Makes the file fit to take the next message: what lies past committed (the length the
  // last committed session left; -1: unknown) was appended by a session that did not
  // commit, and a torn last message is cut back to the end of the one before it, so that
  // the next "From " line starts a line and nothing is archived twice. Returns the length.
  static long long Recover(const std::string& path, long long committed);

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
  long long end_ = -1;
  std::unique_ptr<corvane::EarlyWriteback> writeback_;
  std::string buffer_;
};
