#pragma once
// TZnUUProcessor: turns a byte stream into base64 (RFC 2045) or uuencode lines and back.
// It works from one caller-owned stream to another with the codecs of src/mime.
#include <functional>
#include <string>

#include "Events.h"
#include "Streams.h"

enum UUMethods { uuMime = 0, uuCode = 1 };

class TZnUUProcessor : public TObject {
 public:
  UUMethods Method = uuMime;
  TNotifyEvent OnBeginEncode, OnEndEncode, OnBeginDecode, OnEndDecode;
  // Receives the decoder's only message, " No end line."; the owner shows it to the user.
  std::function<void(const std::string& Text)> OnMessage;
  TStream* InputStream = nullptr;   // not owned
  TStream* OutputStream = nullptr;  // not owned

  // Codes the whole of InputStream (from its beginning) into CR LF lines written to
  // OutputStream, then rewinds OutputStream; uuCode adds the zero-length line "`".
  void Encode();
  // Decodes from InputStream's position to its end, writing at OutputStream's position.
  // InputStream is left just after the last line taken.
  void Decode();

 private:
  void requireStreams() const;
};
