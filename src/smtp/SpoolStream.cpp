#include "SpoolStream.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Exceptions.h"

TSpoolStream::TSpoolStream(int64_t memoryLimit) : limit_(memoryLimit) {}

TSpoolStream::~TSpoolStream() = default;

TStream& TSpoolStream::active() {
  if (file_) return *file_;
  return memory_;
}

int64_t TSpoolStream::Read(void* buffer, int64_t count) {
  return active().Read(buffer, count);
}

void TSpoolStream::Write(const void* buffer, int64_t count) {
  if (!file_ && !spillFailed_ && memory_.Position() + count > limit_) spill();
  active().Write(buffer, count);
}

int64_t TSpoolStream::Seek(int64_t offset, TSeekOrigin origin) {
  return active().Seek(offset, origin);
}

int64_t TSpoolStream::Size() const {
  return file_ ? file_->Size() : memory_.Size();
}

void TSpoolStream::SetSize(int64_t size) {
  if (size == 0) {
    file_.reset();
    memory_.Clear();
    spillFailed_ = false;
    return;
  }
  active().SetSize(size);
}

void TSpoolStream::spill() {
  std::string path = std::string(P_tmpdir) + "/corvane-spool-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) {
    spillFailed_ = true;
    return;
  }
  ::close(fd);
  try {
    auto file = std::make_unique<TFileStream>(path, TFileStream::fmOpenReadWrite);
    // Unlinked at once: the spool never outlives the stream, not even after a crash.
    ::unlink(path.c_str());
    const int64_t position = memory_.Position();
    file->Write(memory_.Data().data(), memory_.Size());
    file->SetPosition(position);
    file_ = std::move(file);
    memory_.Clear();
  } catch (const EFileError&) {
    ::unlink(path.c_str());
    spillFailed_ = true;
  }
}
