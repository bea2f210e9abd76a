#include "media/srtp_keys.h"

#include <openssl/rand.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "foundation/base64.h"

namespace {

constexpr size_t kInlineChars = 40;  // Base64 of the 30 bytes of master key and salt, no padding
constexpr std::string_view kInline = "inline:";

struct SuiteEntry {
  SrtpSuite suite;
  const char* name;
};
constexpr SuiteEntry kSuites[] = {
    {SrtpSuite::AES_CM_128_HMAC_SHA1_80, "AES_CM_128_HMAC_SHA1_80"},
    {SrtpSuite::AES_CM_128_HMAC_SHA1_32, "AES_CM_128_HMAC_SHA1_32"},
    {SrtpSuite::F8_128_HMAC_SHA1_32, "F8_128_HMAC_SHA1_32"},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

std::vector<std::string_view> Split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> parts;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t start = text.find_first_not_of(separators, pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(separators, start);
    if (end == std::string_view::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    pos = end;
  }
  return parts;
}

// A decimal number of at most nine digits (RFC 4568 tags and MKI values); -1 otherwise.
int Decimal(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool IsBase64Char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The key parameters after "inline:": exactly 40 Base64 characters, then optional "|" parts: a lifetime
// (ignored) and "MKI:length" (decimal numbers; anything else is ignored too).
bool ReadKeyParameters(std::string_view params, CryptoAttribute& attr) {
  const size_t bar = params.find('|');
  const std::string_view key = params.substr(0, bar);
  if (key.size() != kInlineChars) return false;
  for (char c : key) {
    if (!IsBase64Char(c)) return false;
  }
  const std::string text(key);
  if (Base64::Decode(reinterpret_cast<const unsigned char*>(text.c_str()), attr.master.data(),
                     attr.master.size()) != attr.master.size()) {
    return false;
  }
  if (bar == std::string_view::npos) return true;
  for (std::string_view part : Split(params.substr(bar + 1), "|")) {
    const size_t colon = part.find(':');
    if (colon == std::string_view::npos) continue;  // a lifetime
    const int mki = Decimal(part.substr(0, colon));
    const int length = Decimal(part.substr(colon + 1));
    if (mki < 0 || length < 0) continue;  // not an MKI
    attr.mki = mki;
    attr.mki_length = length;
  }
  return true;
}

std::string Format(const char* fmt, std::string_view arg) {
  const std::string text(arg);
  const int n = std::snprintf(nullptr, 0, fmt, text.c_str());
  std::string out(static_cast<size_t>(n), '\0');
  std::snprintf(out.data(), out.size() + 1, fmt, text.c_str());
  return out;
}

// Bytes no peer can predict. RAND_bytes, else the kernel's generator; without either there are no safe
// keys at all, and carrying on with weak ones would be worse than stopping.
void RandomBytes(uint8_t* out, size_t n) {
  if (RAND_bytes(out, static_cast<int>(n)) == 1) return;
  size_t done = 0;
  while (done < n) {
    const ssize_t got = getrandom(out + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) std::abort();
    done += static_cast<size_t>(got);
  }
}

}  // namespace

const char* SuiteName(SrtpSuite suite) {
  for (const auto& entry : kSuites) {
    if (entry.suite == suite) return entry.name;
  }
  return "UNKNOWN";
}

std::optional<CryptoAttribute> CryptoAttribute::Parse(std::string_view value, std::string* error) {
  std::string scratch;
  if (error == nullptr) error = &scratch;
  error->clear();
  const std::vector<std::string_view> fields = Split(value, " \t\r\n");
  if (fields.size() < 3) return std::nullopt;
  CryptoAttribute attr;
  attr.tag = std::max(Decimal(fields[0]), 0);
  for (const auto& entry : kSuites) {
    if (EqualsIgnoringCase(fields[1], entry.name)) attr.suite = entry.suite;
  }
  if (attr.suite == SrtpSuite::NONE) {
    *error = Format("ERROR: Unknown Crypto-Suite: %s\n", fields[1]);
    return std::nullopt;
  }
  if (fields[2].substr(0, kInline.size()) != kInline ||
      !ReadKeyParameters(fields[2].substr(kInline.size()), attr)) {
    *error = Format("ERROR: Incorrect 'inline:' key in Crypto: a=%s\n", value);
    return std::nullopt;
  }
  return attr;
}

std::string CryptoAttribute::Text() const {
  return std::to_string(tag) + " " + SuiteName(suite) +
         " inline:" + Base64::Encode(master.data(), master.size());
}

CryptoAttribute CryptoAttribute::Fresh(SrtpSuite suite, int tag) {
  CryptoAttribute attr;
  attr.tag = tag == 0 ? 1 : tag;
  attr.suite = suite;
  RandomBytes(attr.master.data(), attr.master.size());
  return attr;
}
