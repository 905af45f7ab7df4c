// The coders: any bytes decoded as base64 and as uuencode never crash and never stop
// early without reason; any bytes encoded and decoded again come back unchanged; and the
// stream decoders of message text give for any pieces what they give for the whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Base64.h"
#include "FuzzSupport.h"
#include "QuotedPrintable.h"
#include "Streams.h"
#include "ZnUUE.h"

namespace {

std::string run(UUMethods method, bool encode, std::string_view bytes, size_t* left = nullptr) {
  TMemoryStream in, out;
  in.SetData(std::string(bytes));
  TZnUUProcessor coder;
  coder.Method = method;
  coder.InputStream = &in;
  coder.OutputStream = &out;
  if (encode) {
    coder.Encode();
  } else {
    in.SetPosition(0);
    coder.Decode();
  }
  if (left) *left = static_cast<size_t>(in.Size() - in.Position());
  return out.Data();
}

// The bytes in pieces whose sizes come from the bytes themselves.
template <typename Feed>
void inPieces(std::string_view bytes, Feed&& feed) {
  size_t at = 0;
  size_t step = bytes.empty() ? 1 : static_cast<unsigned char>(bytes[0]) % 7 + 1;
  while (at < bytes.size()) {
    const size_t size = std::min(step, bytes.size() - at);
    feed(bytes.substr(at, size));
    at += size;
    step = step * 5 % 23 + 1;
  }
}

void streamsMatchWholeDecodes(std::string_view bytes) {
  std::string qp;
  mime::QuotedPrintableDecoder qpDecoder;
  inPieces(bytes, [&](std::string_view piece) { qpDecoder.Feed(piece, qp); });
  qpDecoder.Finish(qp);
  FUZZ_CHECK(qp == mime::DecodeQuotedPrintable(bytes));

  std::string base64;
  mime::Base64Decoder base64Decoder;
  inPieces(bytes, [&](std::string_view piece) { base64Decoder.Feed(piece, base64); });
  base64Decoder.Finish(base64);
  FUZZ_CHECK(base64 == mime::DecodeBase64(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const UUMethods method = data[0] & 1 ? uuCode : uuMime;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  size_t left = 0;
  const std::string decoded = run(method, false, bytes, &left);
  FUZZ_CHECK(left <= bytes.size());
  // Every four base64 characters give at most three bytes.
  if (method == uuMime) FUZZ_CHECK(decoded.size() <= bytes.size());

  const std::string encoded = run(method, true, bytes);
  FUZZ_CHECK(run(method, false, encoded) == bytes);
  streamsMatchWholeDecodes(bytes);
  return 0;
}
