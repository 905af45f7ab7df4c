#include "ZnUUE.h"

#include "Base64.h"
#include "CodedStreams.h"
#include "Exceptions.h"
#include "UUCode.h"

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
      mime::EncodeLines(*InputStream, *OutputStream, mime::UULines());
      OutputStream->WriteString(mime::kUUZeroLine);
    } else {
      mime::EncodeLines(*InputStream, *OutputStream, mime::Base64Lines());
    }
  } catch (...) {
    OutputStream->SetPosition(0);
    Fire(OnEndEncode, this);
    throw;
  }
  OutputStream->SetPosition(0);
  Fire(OnEndEncode, this);
}

void TZnUUProcessor::Decode() {
  requireStreams();
  Fire(OnBeginDecode, this);
  if (Method == uuCode)
    mime::DecodeUULines(*InputStream, *OutputStream,
                        [this](std::string_view text) { Fire(OnMessage, std::string(text)); });
  else
    mime::DecodeBase64Lines(*InputStream, *OutputStream);
  Fire(OnEndDecode, this);
}
