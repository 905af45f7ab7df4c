#include "MessageReader.h"

#include "EncodedWords.h"
#include "Exceptions.h"
#include "RawMessageSink.h"
#include "SysUtils.h"

namespace {

// A line source that is a function returning one line at a time.
class FunctionLines : public TLineInput {
 public:
  explicit FunctionLines(const TMessageReader::TLineSource& source) : source_(source) {}
  void ReadLine(std::string& line) override { line = source_(); }

 private:
  const TMessageReader::TLineSource& source_;
};

}  // namespace

TMessageReader::TMessageReader(TMailMessage& message)
    : message_(message), body_(message.Body), walker_(body_, folder_) {
  const auto status = [this](const std::string& text) { Fire(OnStatus, text); };
  const auto notice = [this](std::string_view text) { Fire(OnMessage, std::string(text)); };
  walker_.OnStatus = status;
  folder_.OnStatus = status;
  folder_.OnNotice = notice;
  body_.OnNotice = notice;
  folder_.OnFileWritten = [this](const std::string& name) { message_.Attachments.Add(name); };
  walker_.OnHeaderLine = [this](const std::string& line) { message_.Header.Add(line); };
  walker_.OnHeaderField = [this](const mime::EntityHeader& header) { headerField(header); };
}

void TMessageReader::Reset() {
  walker_.Reset();
  body_.Reset();
  firstTopField_.fill(kNoField);
}

void TMessageReader::Read(const TLineSource& ReadLine) {
  FunctionLines input(ReadLine);
  Read(input);
}

void TMessageReader::Read(TLineInput& Input) {
  Reset();
  message_.Header.Clear();
  message_.Body.Clear();
  message_.Attachments.Clear();
  message_.Subject.clear();
  message_.From.clear();
  message_.MessageId.clear();
  folder_.Path = AttachFilePath;
  folder_.ReservedNames = ReservedFileNames;
  // The local copy is for the failure path, which can unwind over a reader that is gone.
  TRawMessageSink* const sink = RawSink;
  try {
    TMultiLineReply reply(Input, sink);
    try {
      walker_.Walk(reply);
    } catch (const ESockError&) {
      throw;
    } catch (...) {
      // A file that could not be written ends the retrieval, but the connection must stay
      // in step with the server: the rest of the message is read and dropped first.
      reply.Drain();
      throw;
    }
    // Whatever a malformed message left unread belongs to it, not to the next reply.
    reply.Finish();
  } catch (...) {
    // Only a message that was read whole, and kept whole, counts as received.
    if (sink) sink->AbandonMessage();
    throw;
  }
}

void TMessageReader::headerField(const mime::EntityHeader& header) {
  // Kept up to date line by line, so that a retrieval cut short still shows what came.
  const auto* last = header.LastField();
  if (!last) return;
  const std::string& name = last->first;
  static constexpr std::string_view kNames[] = {"From", "Subject", "Message-ID"};
  size_t k = 0;
  while (k < std::size(kNames) && !corvane::SameTextAscii(name, kNames[k])) ++k;
  if (k == std::size(kNames)) return;
  // Only the first field of a name counts; remembering where it is keeps a header of
  // any length one step a line.
  const size_t at = header.FieldCount() - 1;
  if (firstTopField_[k] == kNoField) firstTopField_[k] = at;
  if (firstTopField_[k] != at) return;
  if (k == 0) message_.From = corvane::Trim(mime::DecodeEncodedWords(last->second));
  // The value keeps the blank that follows the colon, as the store's readers expect.
  if (k == 1) message_.Subject = corvane::TrimRight(mime::DecodeEncodedWords(last->second));
  if (k == 2) message_.MessageId = corvane::Trim(last->second);
}
