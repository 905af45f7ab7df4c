#pragma once
// Byte streams for the coder, the message reader and the composer: a position, a size,
// and reads and writes of raw bytes. Streams given to a component are owned by the caller.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes at the position; returns how many were read.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes at the position (extending the stream); raises EFileError on failure.
  virtual void Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() const = 0;
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::soBeginning); }

  // Reads exactly count bytes or raises EFileError "Stream read error".
  void ReadBuffer(void* buffer, int64_t count);
  void WriteString(std::string_view text) { Write(text.data(), static_cast<int64_t>(text.size())); }
  // Copies count bytes from source's position; count 0 copies the whole source from its start.
  int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream held in memory; Data() gives the bytes.
class TMemoryStream : public TStream {
public:
  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;

  void Clear();
  const std::string& Data() const { return data_; }
  void SetData(std::string data);
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

private:
  std::string data_;
  int64_t position_ = 0;
};

// A buffered stream on a file. fmCreate creates or truncates; the open modes need the file.
// Failures: "Cannot create file %s", "Cannot open file %s".
class TFileStream : public TStream {
public:
  enum Mode { fmCreate, fmOpenRead, fmOpenWrite, fmOpenReadWrite };
  TFileStream(const std::string& path, Mode mode);
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override { return size_; }
  void SetSize(int64_t size) override;

  // Hands buffered bytes to the system; Sync also waits until they are on disk.
  void Flush();
  void Sync();
  const std::string& FileName() const { return path_; }

private:
  void flushWrites();

  std::string path_;
  int fd_ = -1;
  int64_t position_ = 0;
  int64_t size_ = 0;
  std::vector<char> buffer_;
  int64_t bufferStart_ = 0;  // file offset of buffer_[0]
  int64_t bufferLength_ = 0;
  bool dirty_ = false;  // the buffer holds bytes still to be written
};

namespace corvane {

// The program's own files (stores, journals, archive, address book, settings) hold the
// user's mail and password: readable by their owner only, whatever the umask.
constexpr unsigned kPrivateFileMode = 0600;

// Whole-file helpers. WriteFileAtomically writes a temporary file in the same folder,
// syncs it and renames it over path, so a crash leaves the old or the new content.
std::string ReadFile(const std::string& path);
void WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode = kPrivateFileMode);
// The same for bytes that produce hands to its argument in pieces.
void WriteFileAtomically(const std::string& path,
                         const std::function<void(const std::function<void(std::string_view)>&)>& produce,
                         unsigned mode = kPrivateFileMode);
// For a file the user names: the same safe replacement, written through a symbolic link to
// the file it points at, and keeping an existing file's mode (a new one follows the umask).
void ReplaceFileContents(const std::string& path, std::string_view bytes);
// Appends bytes to path, creating it private when missing; with sync the bytes (and a
// new file's folder entry) are on disk when it returns. "Cannot create file %s" on failure.
void AppendToFile(const std::string& path, std::string_view bytes, bool sync);
// Writes all of bytes to a file descriptor, going on after interrupted writes; false when
// a write fails.
bool WriteAll(int fd, std::string_view bytes);
// Syncs the folder that holds path ("." when it names none), so that a file created,
// renamed or removed there is so on disk too.
void SyncFolderOf(const std::string& path);

}  // namespace corvane
