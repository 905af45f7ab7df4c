#pragma once
// A byte stream that stays in memory while it is small and moves into an anonymous
// temporary file once it grows past a limit, so a message with large attachments does
// not have to be held in memory whole.
#include <cstdint>
#include <memory>

#include "Streams.h"

class TSpoolStream : public TStream {
 public:
  static constexpr int64_t kDefaultMemoryLimit = 4 * 1024 * 1024;

  explicit TSpoolStream(int64_t memoryLimit = kDefaultMemoryLimit);
  ~TSpoolStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  void Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() const override;
  // SetSize(0) also gives the file back and returns to memory.
  void SetSize(int64_t size) override;

  bool OnDisk() const { return file_ != nullptr; }

 private:
  TStream& active();
  // Moves the content into a temporary file; stays in memory when none can be made.
  void spill();

  int64_t limit_;
  TMemoryStream memory_;
  std::unique_ptr<TFileStream> file_;
  bool spillFailed_ = false;
};
