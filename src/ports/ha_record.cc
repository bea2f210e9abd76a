#include "ports/ha_record.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <charconv>
#include <climits>

namespace ha {
namespace {

constexpr size_t kRegFields = 16;
constexpr size_t kCallFields = 17;

template <class T>
bool ParseNumber(std::string_view text, T& out) {
  if (text.empty()) return false;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if constexpr (std::is_unsigned_v<T>) {
    if (*first == '-' || *first == '+') return false;
  } else if (*first == '+') {
    return false;
  }
  auto [ptr, ec] = std::from_chars(first, last, out);
  return ec == std::errc() && ptr == last;
}

std::string AddressText(const InetAddress& a) { return a.empty() ? std::string() : a.Text(); }

// An address or nothing: an empty field is an empty address.
bool ParseOptionalAddress(std::string_view text, InetAddress& a) {
  a.reset();
  return text.empty() || ParseAddress(text, a);
}

bool ParsePorts(std::string_view text, LocalPorts& p) {
  p = {};
  if (text.empty()) return true;
  const auto parts = SplitFields(text, ',');
  if (parts.size() > 2) return false;
  if (!ParseNumber(parts[0], p.audio) || p.audio == 0 || p.audio > 65534) return false;
  if (parts.size() == 2 && (!ParseNumber(parts[1], p.video) || p.video == 0 || p.video > 65534)) return false;
  return true;
}

std::string FormatPorts(const LocalPorts& p) {
  if (p.audio == 0) return {};
  std::string s = std::to_string(p.audio);
  if (p.video != 0) s += "," + std::to_string(p.video);
  return s;
}

bool RtcpIsDefault(const InetAddress& rtp, const InetAddress& rtcp) {
  return rtcp.empty() || (rtcp.Ip() == rtp.Ip() && rtcp.Port() == ((rtp.Port() + 1) & 0xFFFF));
}

InetAddress NextPort(const InetAddress& a) {
  InetAddress n = a;
  n.Port(static_cast<unsigned short>(a.Port() + 1));
  return n;
}

bool ParseRegistration(const std::vector<std::string_view>& f, RegistrationRecord& r) {
  if (f.size() != kRegFields || f[1].empty()) return false;
  r.ncont = f[1];
  r.ocont = f[2];
  r.callid = f[3];
  r.defects = Defects::FromLetters(f[4]);
  r.user_domain = f[5];
  r.full_user = f[6];
  r.to_tag = f[12];
  return ParseOptionalAddress(f[7], r.hole) && ParseNumber(f[8], r.expires_in) &&
         ParseNumber(f[9], r.reg_tm) && r.reg_tm >= 0 && ParseNumber(f[10], r.log_level) &&
         ParseNumber(f[11], r.flags) && r.flags <= 255 && ParseOptionalAddress(f[13], r.unreg_server) &&
         ParseNumber(f[14], r.nat_type) && ParseNumber(f[15], r.exp_rtp_ip);
}

bool ParseCall(const std::vector<std::string_view>& f, CallRecord& c) {
  if (f.size() != kCallFields || f[1].empty()) return false;
  c.full = f[0] == "F";
  c.key = f[1];
  c.ncont = f[2];
  c.ocont = f[3];
  c.defects = Defects::FromLetters(f[4]);
  c.has_cln_dests = !f[7].empty();
  c.has_srv_dests = !f[10].empty();
  c.route_set = f[12];
  c.to_tag = f[13];
  c.domain = f[15];
  return ParseNumber(f[5], c.shift) && ParsePorts(f[6], c.cln_ports) &&
         ParseDestinations(f[7], c.cln_dests) && ParseOptionalAddress(f[8], c.cln_sip) &&
         ParsePorts(f[9], c.srv_ports) && ParseDestinations(f[10], c.srv_dests) &&
         ParseOptionalAddress(f[11], c.srv_sip) && ParseNumber(f[14], c.transc) && c.transc >= -1 &&
         c.transc <= 127 && ParseNumber(f[16], c.flags);
}

}  // namespace

std::vector<std::string_view> SplitFields(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = text.find(sep);
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    text.remove_prefix(at + 1);
  }
}

bool ParseAddress(std::string_view text, InetAddress& a) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  const auto octets = SplitFields(text.substr(0, colon), '.');
  if (octets.size() != 4) return false;
  uint32_t ip = 0;
  for (std::string_view o : octets) {
    unsigned v = 0;
    if (o.size() > 3 || !ParseNumber(o, v) || v > 255) return false;
    ip = (ip << 8) | v;
  }
  unsigned port = 0;
  if (!ParseNumber(text.substr(colon + 1), port) || port > 65535) return false;
  a.reset();
  a.Ip(ip);
  a.Port(static_cast<unsigned short>(port));
  return true;
}

bool ParseDestinations(std::string_view text, MediaDestinations& d) {
  d = {};
  if (text.empty()) return true;
  const auto parts = SplitFields(text, ',');
  if (parts.size() > 4) return false;
  InetAddress a[4];
  for (size_t i = 0; i < parts.size(); ++i)
    if (!ParseAddress(parts[i], a[i])) return false;
  d.rtp = a[0];
  d.rtcp = parts.size() > 1 ? a[1] : NextPort(a[0]);
  if (parts.size() > 2) {
    d.video = true;
    d.vrtp = a[2];
    d.vrtcp = parts.size() > 3 ? a[3] : NextPort(a[2]);
  }
  return true;
}

std::string FormatDestinations(const MediaDestinations& d) {
  if (d.rtp.Port() == 0) return {};
  std::string s = d.rtp.Text();
  if (d.video || !RtcpIsDefault(d.rtp, d.rtcp)) s += "," + (d.rtcp.empty() ? NextPort(d.rtp) : d.rtcp).Text();
  if (d.video) {
    s += "," + d.vrtp.Text();
    if (!RtcpIsDefault(d.vrtp, d.vrtcp)) s += "," + d.vrtcp.Text();
  }
  return s;
}

std::optional<Record> Parse(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty() || text.size() > kMaxRecord) return std::nullopt;
  const auto f = SplitFields(text, '|');
  Record r;
  r.command = f[0].empty() ? '\0' : f[0][0];
  if (f[0].size() != 1) return r;  // kind Unknown
  switch (r.command) {
    case '?':
      r.kind = Record::REQUEST;
      return r;
    case 'U':
    case 'B':
      if (f.size() < 2 || f[1].empty()) return std::nullopt;
      r.kind = r.command == 'U' ? Record::UNREGISTER : Record::CALL_END;
      r.key = f[1];
      return r;
    case 'R':
      if (!ParseRegistration(f, r.reg)) return std::nullopt;
      r.kind = Record::REGISTER;
      return r;
    case 'S':
    case 'F':
      if (!ParseCall(f, r.call)) return std::nullopt;
      r.kind = Record::CALL;
      return r;
    default:
      return r;
  }
}

std::string FormatRequest() { return "?"; }

std::string FormatRegistration(const RegistrationRecord& r) {
  std::string s = "R|" + r.ncont + "|" + r.ocont + "|" + r.callid + "|" + r.defects.Letters() + "|" +
                  r.user_domain + "|" + r.full_user + "|" + AddressText(r.hole) + "|" +
                  std::to_string(r.expires_in) + "|" + std::to_string(r.reg_tm) + "|" +
                  std::to_string(r.log_level) + "|" + std::to_string(r.flags) + "|" + r.to_tag + "|" +
                  AddressText(r.unreg_server) + "|" + std::to_string(r.nat_type) + "|" +
                  std::to_string(r.exp_rtp_ip);
  return s;
}

std::string FormatUnregistration(const std::string& ncont) { return "U|" + ncont; }

std::string FormatCall(const CallRecord& c) {
  std::string s(1, c.full ? 'F' : 'S');
  s += "|" + c.key + "|" + c.ncont + "|" + c.ocont + "|" + c.defects.Letters() + "|" +
       std::to_string(c.shift) + "|" + FormatPorts(c.cln_ports) + "|" +
       (c.has_cln_dests ? FormatDestinations(c.cln_dests) : std::string()) + "|" + AddressText(c.cln_sip) +
       "|" + FormatPorts(c.srv_ports) + "|" +
       (c.has_srv_dests ? FormatDestinations(c.srv_dests) : std::string()) + "|" + AddressText(c.srv_sip) +
       "|" + c.route_set + "|" + c.to_tag + "|" + std::to_string(c.transc < 0 ? -1 : c.transc) + "|" +
       c.domain + "|" + std::to_string(c.flags);
  return s;
}

std::string FormatCallEnd(const std::string& key) { return "B|" + key; }

bool IsStoreName(std::string_view name) {
  if (name.empty() || name.size() > 64) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
  });
}

std::optional<BlockRecord> ParseBlock(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.size() > kMaxRecord) return std::nullopt;
  const auto f = SplitFields(text, '|');
  BlockRecord b;
  if (f[0] == "K" && f.size() == 4) {
    b.on = true;
    if (!ParseNumber(f[3], b.seconds) || b.seconds < 1 || b.seconds > 86400) return std::nullopt;
  } else if (f[0] != "k" || f.size() != 3) {
    return std::nullopt;
  }
  InetAddress a;
  if (!IsStoreName(f[1]) || !ParseAddress(f[2], a) || a.Ip() == 0) return std::nullopt;
  b.node = f[1];
  b.ip = a.Ip();
  b.port = a.Port();
  return b;
}

std::string FormatBlock(const BlockRecord& b) {
  InetAddress a;
  a.Ip(b.ip);
  a.Port(static_cast<unsigned short>(b.port));
  std::string s = (b.on ? "K|" : "k|") + b.node + "|" + a.Text();
  if (b.on) s += "|" + std::to_string(b.seconds);
  return s;
}

Unsendable CheckOutgoing(std::string_view record, size_t trailer) {
  size_t fields = 0;
  switch (record.empty() ? '\0' : record[0]) {
    case '?':
      fields = 1;
      break;
    case 'U':
    case 'B':
      fields = 2;
      break;
    case 'R':
      fields = kRegFields;
      break;
    case 'S':
    case 'F':
      fields = kCallFields;
      break;
    default:
      break;
  }
  const auto separators = static_cast<size_t>(std::count(record.begin(), record.end(), '|'));
  if (fields == 0 || separators != fields - 1 || record.find('\n') != std::string_view::npos)
    return Unsendable::SEPARATOR;
  if (record.size() + trailer > kMaxRecord) return Unsendable::TOO_LONG;
  return Unsendable::NONE;
}

namespace {

std::string MacText(std::string_view data, std::string_view secret) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac, &length) == nullptr ||
      length < kMacHexLength / 2)
    return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < kMacHexLength / 2; ++i) {
    text += kHex[mac[i] >> 4];
    text += kHex[mac[i] & 15];
  }
  return text;
}

}  // namespace

std::string Seal(std::string_view record, std::string_view secret, Sequence seq) {
  std::string sealed(record);
  sealed += "|" + std::to_string(seq.boot) + "." + std::to_string(seq.counter);
  const std::string mac = MacText(sealed, secret);
  sealed += "|" + mac;
  return sealed;
}

std::optional<std::string_view> Unseal(std::string_view text, std::string_view secret, Sequence& seq) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.size() > kMaxRecord) return std::nullopt;
  const size_t mac_at = text.rfind('|');
  if (mac_at == std::string_view::npos || text.size() - mac_at - 1 != kMacHexLength) return std::nullopt;
  const std::string_view signed_part = text.substr(0, mac_at);
  const size_t seq_at = signed_part.rfind('|');
  if (seq_at == std::string_view::npos) return std::nullopt;
  const std::string_view seq_text = signed_part.substr(seq_at + 1);
  const size_t dot = seq_text.find('.');
  Sequence s;
  if (dot == std::string_view::npos || !ParseNumber(seq_text.substr(0, dot), s.boot) ||
      !ParseNumber(seq_text.substr(dot + 1), s.counter) || s.counter == 0)
    return std::nullopt;
  const std::string expected = MacText(signed_part, secret);
  if (expected.size() != kMacHexLength ||
      CRYPTO_memcmp(expected.data(), text.data() + mac_at + 1, kMacHexLength) != 0)
    return std::nullopt;
  seq = s;
  return signed_part.substr(0, seq_at);
}

ReplayWindow::Verdict ReplayWindow::Check(Sequence s) {
  if (s.boot == own_boot_) return OWN;
  if (s.boot < boot_) return OLD_BOOT;
  if (s.boot > boot_) {
    boot_ = s.boot;
    highest_ = s.counter;
    seen_ = 1;
    return ACCEPTED;
  }
  if (s.counter > highest_) {
    const uint64_t shift = s.counter - highest_;
    seen_ = shift >= kWindow ? 1 : (seen_ << shift) | 1;
    highest_ = s.counter;
    return ACCEPTED;
  }
  const uint64_t age = highest_ - s.counter;
  if (age >= kWindow || (seen_ >> age & 1) != 0) return REPLAYED;
  seen_ |= uint64_t{1} << age;
  return ACCEPTED;
}

}  // namespace ha
