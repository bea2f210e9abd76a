#include "dialogs/sdp_signature.h"

#include <cstring>

#include "foundation/base64.h"

namespace {

constexpr size_t kBlockBytes = 12;

}  // namespace

std::string EncodeSignature(const SignatureBlock& block) {
  unsigned char bytes[kBlockBytes];
  std::memcpy(bytes, &block.csip, 4);
  std::memcpy(bytes + 4, &block.csdp, 4);
  std::memcpy(bytes + 8, &block.aport, 2);
  std::memcpy(bytes + 10, &block.vport, 2);
  return Base64::Encode(bytes, sizeof bytes);
}

SignatureBlock DecodeSignature(std::string_view text) {
  const std::string terminated(text);
  unsigned char bytes[kBlockBytes] = {};
  Base64::Decode(reinterpret_cast<const unsigned char*>(terminated.c_str()), bytes, sizeof bytes);
  SignatureBlock block;
  std::memcpy(&block.csip, bytes, 4);
  std::memcpy(&block.csdp, bytes + 4, 4);
  std::memcpy(&block.aport, bytes + 8, 2);
  std::memcpy(&block.vport, bytes + 10, 2);
  return block;
}

std::string_view SignatureOfTool(const char* tool) {
  if (tool == nullptr) return {};
  const std::string_view value(tool);
  if (value.size() != kToolLength || value.substr(0, kToolPrefix.size()) != kToolPrefix) return {};
  return value.substr(kToolPrefix.size());
}
