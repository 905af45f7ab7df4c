// The coders: any bytes decoded as base64 and as uuencode never crash and never stop
// early without reason; any bytes encoded and decoded again come back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
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
  return 0;
}
