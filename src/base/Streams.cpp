#include "Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Exceptions.h"
#include "SysUtils.h"

namespace {
constexpr int64_t kBufferSize = 64 * 1024;

[[noreturn]] void writeError() {
  throw EFileError("Stream write error");
}
}  // namespace

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EFileError("Stream read error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::vector<char> chunk(static_cast<size_t>(std::min<int64_t>(count, kBufferSize)));
  int64_t left = count;
  while (left > 0) {
    const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(chunk.size()));
    source.ReadBuffer(chunk.data(), n);
    Write(chunk.data(), n);
    left -= n;
  }
  return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t n = std::max<int64_t>(0, std::min<int64_t>(count, Size() - position_));
  if (n > 0) std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
  position_ += n;
  return n;
}

void TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  const size_t end = static_cast<size_t>(position_ + count);
  if (position_ == Size())
    data_.append(static_cast<const char*>(buffer), static_cast<size_t>(count));
  else {
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  }
  position_ += count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  position_ = std::min(position_, Size());
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::SetData(std::string data) {
  data_ = std::move(data);
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
  SetData(corvane::ReadFile(path));
}

void TMemoryStream::SaveToFile(const std::string& path) const {
  TFileStream file(path, TFileStream::fmCreate);
  file.Write(data_.data(), Size());
  file.Flush();
}

TFileStream::TFileStream(const std::string& path, Mode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case fmCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case fmOpenRead:
      flags |= O_RDONLY;
      break;
    case fmOpenWrite:
      flags |= O_WRONLY;
      break;
    case fmOpenReadWrite:
      flags |= O_RDWR;
      break;
  }
  // A new file gets the user's usual permissions (0666 less the umask).
  fd_ = ::open(path.c_str(), flags, 0666);
  if (fd_ < 0) {
    if (mode == fmCreate) throw EFCreateError("Cannot create file " + path);
    throw EFOpenError("Cannot open file " + path);
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0) size_ = st.st_size;
}

TFileStream::~TFileStream() {
  try {
    flushWrites();
  } catch (const std::exception&) {
    // A destructor cannot report; callers that care call Flush() first.
  }
  ::close(fd_);
}

void TFileStream::flushWrites() {
  if (!dirty_) return;
  int64_t done = 0;
  while (done < bufferLength_) {
    const ssize_t n =
        ::pwrite(fd_, buffer_.data() + done, static_cast<size_t>(bufferLength_ - done), bufferStart_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      dirty_ = false;
      bufferLength_ = 0;
      writeError();
    }
    done += n;
  }
  dirty_ = false;
  bufferLength_ = 0;
}

void TFileStream::Flush() {
  flushWrites();
}

void TFileStream::Sync() {
  flushWrites();
  if (::fsync(fd_) != 0) writeError();
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  flushWrites();
  char* out = static_cast<char*>(buffer);
  int64_t total = 0;
  while (count > 0 && position_ < size_) {
    if (position_ >= bufferStart_ && position_ < bufferStart_ + bufferLength_) {
      const int64_t n = std::min(count, bufferStart_ + bufferLength_ - position_);
      std::memcpy(out, buffer_.data() + (position_ - bufferStart_), static_cast<size_t>(n));
      out += n;
      total += n;
      count -= n;
      position_ += n;
      continue;
    }
    // A read as large as the buffer, or one that takes the rest of the file (a whole small
    // file read at once), goes straight into the caller's memory.
    if (count >= kBufferSize || count >= size_ - position_) {
      const ssize_t n = ::pread(fd_, out, static_cast<size_t>(count), position_);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      out += n;
      total += n;
      count -= n;
      position_ += n;
      continue;
    }
    buffer_.resize(kBufferSize);
    const ssize_t n = ::pread(fd_, buffer_.data(), kBufferSize, position_);
    if (n < 0 && errno == EINTR) continue;
    bufferStart_ = position_;
    bufferLength_ = std::max<ssize_t>(n, 0);
    if (n <= 0) break;
  }
  return total;
}

void TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return;
  if (!dirty_ || position_ != bufferStart_ + bufferLength_) {
    flushWrites();
    bufferStart_ = position_;
    bufferLength_ = 0;
  }
  const char* in = static_cast<const char*>(buffer);
  if (bufferLength_ + count > kBufferSize) {
    flushWrites();
    if (count >= kBufferSize) {
      int64_t done = 0;
      while (done < count) {
        const ssize_t n = ::pwrite(fd_, in + done, static_cast<size_t>(count - done), position_ + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) writeError();
        done += n;
      }
      position_ += count;
      size_ = std::max(size_, position_);
      return;
    }
    bufferStart_ = position_;
  }
  buffer_.resize(kBufferSize);
  std::memcpy(buffer_.data() + bufferLength_, in, static_cast<size_t>(count));
  bufferLength_ += count;
  dirty_ = true;
  position_ += count;
  size_ = std::max(size_, position_);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t base = origin == TSeekOrigin::soBeginning ? 0 : origin == TSeekOrigin::soCurrent ? position_ : size_;
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TFileStream::SetSize(int64_t size) {
  flushWrites();
  bufferLength_ = 0;
  if (::ftruncate(fd_, size) != 0) writeError();
  size_ = size;
  position_ = std::min(position_, size_);
}

namespace corvane {

std::string ReadFile(const std::string& path) {
  TFileStream file(path, TFileStream::fmOpenRead);
  std::string data(static_cast<size_t>(file.Size()), '\0');
  data.resize(static_cast<size_t>(file.Read(data.data(), file.Size())));
  return data;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode) {
  WriteFileAtomically(path, [&](const std::function<void(std::string_view)>& write) { write(bytes); }, mode);
}

void WriteFileAtomically(const std::string& path,
                         const std::function<void(const std::function<void(std::string_view)>&)>& produce,
                         unsigned mode) {
  std::string tmpl = path + ".XXXXXX";
  const int fd = ::mkstemp(tmpl.data());
  if (fd < 0) throw EFCreateError("Cannot create file " + path);
  const auto fail = [&]() {
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw EFCreateError("Cannot create file " + path);
  };
  bool written = true;
  const auto write = [&](std::string_view bytes) { written = written && WriteAll(fd, bytes); };
  try {
    produce(write);
  } catch (...) {
    ::close(fd);
    ::unlink(tmpl.c_str());
    throw;
  }
  if (!written) fail();
  if (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) fail();
  if (::close(fd) != 0) {
    ::unlink(tmpl.c_str());
    throw EFCreateError("Cannot create file " + path);
  }
  if (::rename(tmpl.c_str(), path.c_str()) != 0) {
    ::unlink(tmpl.c_str());
    throw EFCreateError("Cannot create file " + path);
  }
  // The rename itself must reach the disk before we call the file safe.
  SyncFolderOf(path);
}

void ReplaceFileContents(const std::string& path, std::string_view bytes) {
  std::string target = path;
  if (char* resolved = ::realpath(path.c_str(), nullptr)) {
    target = resolved;
    std::free(resolved);
  }
  struct stat info {};
  if (::stat(target.c_str(), &info) == 0) {
    WriteFileAtomically(target, bytes, info.st_mode & 07777);
    return;
  }
  WriteFileAtomically(target, bytes, UserFileMode());
}

void AppendToFile(const std::string& path, std::string_view bytes, bool sync) {
  const bool existed = FileExists(path);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) throw EFCreateError("Cannot create file " + path);
  bool ok = WriteAll(fd, bytes);
  if (ok && sync) ok = ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok) throw EFCreateError("Cannot create file " + path);
  if (sync && !existed) SyncFolderOf(path);
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void SyncFolderOf(const std::string& path) {
  const std::string folder = ExtractFilePath(path);
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  ::fsync(dir);
  ::close(dir);
}

}  // namespace corvane
