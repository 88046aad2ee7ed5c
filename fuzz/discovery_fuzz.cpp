// Fuzzes the decoding of the discovery file's bytes (the file system is not
// involved: reading the file is a separate step).
//
// Invariants checked for every input:
// - decoding never throws; a refusal always says why;
// - the outcome is the same whether the bytes have spare room for the
//   parser's padding or not;
// - an accepted token holds no control character (it goes into a header
//   line), and port and token written back as an engine writes them decode
//   to the same values.
#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/json_text.h"
#include "engine/transport.h"
#include "fuzz_check.h"

namespace {

using corvane::transport::Info;

struct Decoded {
  bool ok = false;
  Info info;
  std::string why;

  bool operator==(const Decoded& other) const {
    return ok == other.ok && why == other.why &&
           (!ok || (info.port == other.info.port && info.token == other.info.token));
  }
};

Decoded decodeText(const std::string& text) {
  Decoded d;
  d.ok = corvane::transport::decodeInfo(text, d.info, d.why);
  FUZZ_CHECK(d.ok || !d.why.empty());
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string exact(reinterpret_cast<const char*>(data), size);
  exact.shrink_to_fit();
  std::string padded;
  padded.reserve(size + simdjson::SIMDJSON_PADDING);
  padded.assign(exact);

  const Decoded decoded = decodeText(exact);
  FUZZ_CHECK(decodeText(padded) == decoded);
  if (!decoded.ok) return 0;

  for (unsigned char c : decoded.info.token) FUZZ_CHECK(c >= 0x20 && c != 0x7f);
  const std::string written = corvane::JsonObjectWriter()
                                  .addInt("port", decoded.info.port)
                                  .addString("token", decoded.info.token)
                                  .str();
  const Decoded again = decodeText(written);
  FUZZ_CHECK(again.ok);
  FUZZ_CHECK(again.info.port == decoded.info.port && again.info.token == decoded.info.token);
  return 0;
}
