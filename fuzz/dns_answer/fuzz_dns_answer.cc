// Any bytes as a DNS answer to an SRV query: the reader must neither crash nor read outside them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "resolve/dns_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> bytes(data, size);
  std::vector<ServerRecord> out;
  ParseSrvAnswer(bytes, out);
  for (const ServerRecord& r : out) {
    if (r.s_name.empty() || r.s_port == 0) __builtin_trap();
  }
  // Names at arbitrary offsets, including the last byte and one past it.
  std::string name;
  size_t consumed = 0;
  for (size_t pos : {size_t{0}, size / 2, size > 0 ? size - 1 : 0, size}) {
    if (ExpandDnsName(bytes, pos, name, consumed) && pos + consumed > size) __builtin_trap();
  }
  return 0;
}
