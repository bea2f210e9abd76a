// Media policy: device defects (`broken`), transcoding rules, bare-SDP lists and RSVP port rules.
#include "config/media_policy.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "config/config.h"
#include "foundation/log.h"
#include "foundation/text.h"

const char* const TransCode[4] = {"g729/60", "ilbc/60", "g729/20", "pcmu/20"};

const char* const TransSDP[4] = {
    "m=audio 65536 RTP/AVP 18 101\r\na=rtpmap:18 G729/8000\r\na=rtpmap:101 "
    "telephone-event/8000\r\na=ptime:60\r\n",
    "",
    "m=audio 65536 RTP/AVP 18 101\r\na=rtpmap:18 G729/8000\r\na=rtpmap:101 "
    "telephone-event/8000\r\na=ptime:20\r\n",
    "m=audio 65536 RTP/AVP 0 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:101 "
    "telephone-event/8000\r\na=ptime:20\r\n",
};

const TranscodingRule TransVariants[2] = {
    {G729_60, G729_20},
    {ILBC_60, PCMU_20},
};

namespace {

bool FindTransCode(const std::string& name, TranscodeFormat& code) {
  for (int i = 0; i < 4; ++i) {
    if (name == TransCode[i]) {
      code = static_cast<TranscodeFormat>(i);
      return true;
    }
  }
  return false;
}

bool ParseIPv4(const std::string& text, uint32_t& addr) {
  in_addr parsed{};
  if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  addr = ntohl(parsed.s_addr);
  return true;
}

}  // namespace

bool Settings::ReadBroken(std::string& value) {
  size_t gap = value.find_first_of(" \t\r\n");
  if (gap == std::string::npos) return false;
  std::string letters = value.substr(0, gap);
  std::string prefix = value.substr(gap + 1);
  LRTrim(letters);
  LRTrim(prefix);
  if (letters.empty() || prefix.empty()) return false;
  broken.emplace_back(prefix, Defects::FromLetters(letters));
  return true;
}

bool Settings::ReadTranscoding(std::string& value) {
  std::vector<std::string> words = Split(ToLower(value), '\0');
  if (words.size() != 2) {
    Log("ostrel", 0, "Two params are expected\n");
    return false;
  }
  TranscodeFormat client{};
  TranscodeFormat server{};
  if (!FindTransCode(words[0], client) || !FindTransCode(words[1], server)) {
    Log("ostrel", 0, "Unknown Coding type\n");
    return false;
  }
  for (const TranscodingRule& variant : TransVariants) {
    if (variant.client_code == client && variant.server_code == server) {
      transcoding_rules.push_back(variant);
      return true;
    }
  }
  Log("ostrel", 0, "Unsupported Coding Pair\n");
  return false;
}

bool Settings::ReadBareSdp(std::string& value) {
  bare_codecs.clear();
  bare_params.clear();
  std::vector<std::string> words = Split(value, '\0');
  if (words.size() < 2) return false;
  for (const std::string& codec : Split(ToLower(words[0]), ',')) {
    if (codec.empty()) continue;
    size_t slash = codec.find('/');
    int rate = slash == std::string::npos ? 0 : std::atoi(codec.c_str() + slash + 1);
    bare_codecs.emplace(codec.substr(0, slash), rate);
  }
  for (const std::string& attr : Split(ToLower(words[1]), ',')) {
    if (!attr.empty()) bare_params.insert(attr);
  }
  return true;
}

bool Settings::ReadRsvp(std::string& value) {
  std::vector<std::string> words = Split(value, '\0');
  if (words.size() != 3) return false;
  uint32_t first = 0;
  uint32_t second = 0;
  if (!ParseIPv4(words[0], first) || !ParseIPv4(words[1], second)) return false;
  const std::string& port = words[2];
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
    return false;
  int number = std::atoi(port.c_str());
  if (number > 65535) return false;
  rsvps.emplace(RsvpKey(first, second), static_cast<uint16_t>(number));
  return true;
}

uint16_t Config::CheckRsvp(uint64_t key) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  auto found = rsvps.find(key);
  return found == rsvps.end() ? 0 : found->second;
}

Defects Config::DeviceDefects(const std::string& device) const {
  ReadGuard guard(lock, MutexGuard::DO_LOCK);
  for (const auto& [prefix, defects] : broken) {
    if (device.compare(0, prefix.size(), prefix) == 0 && device.size() >= prefix.size()) return defects;
  }
  return UnlistedDevice();
}
