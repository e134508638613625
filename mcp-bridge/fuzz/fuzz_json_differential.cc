// The reader and writer in use against the reference ones they replaced, on
// arbitrary bytes: the same wire form out or both refusing, apart from lone
// surrogate escapes, which only the reader in use keeps.
#include <cstdint>
#include <string>
#include <string_view>

#include "check.h"
#include "support/reference_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = bridge::reference::difference(bridge::fuzz::as_bytes(data, size));
  bridge::fuzz::require(problem.empty(), problem.c_str());
  return 0;
}
