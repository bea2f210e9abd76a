#include "resolve/dns_answer.h"

#include <cstdio>

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kRecordFixedSize = 10;  // type, class, TTL, rdata length
constexpr size_t kSrvFixedSize = 6;      // priority, weight, port
constexpr size_t kMaxNameOctets = 255;
// A name has at most 127 labels, so a longer chain of pointers can only be a loop.
constexpr int kMaxPointers = 127;
constexpr uint16_t kTypeSrv = 33;

uint16_t ReadU16(std::span<const uint8_t> msg, size_t pos) {
  return static_cast<uint16_t>((msg[pos] << 8) | msg[pos + 1]);
}

bool IsSpecial(uint8_t c) {
  switch (c) {
    case '"':
    case '.':
    case ';':
    case '\\':
    case '(':
    case ')':
    case '@':
    case '$':
      return true;
    default:
      return false;
  }
}

void AppendLabel(std::span<const uint8_t> label, std::string& name) {
  if (!name.empty()) name += '.';
  for (uint8_t c : label) {
    if (IsSpecial(c)) {
      name += '\\';
      name += static_cast<char>(c);
    } else if (c > 0x20 && c < 0x7f) {
      name += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\%03u", static_cast<unsigned>(c));
      name += escaped;
    }
  }
}

}  // namespace

bool ExpandDnsName(std::span<const uint8_t> msg, size_t pos, std::string& name, size_t& consumed) {
  name.clear();
  size_t octets = 1;  // the root label's length byte
  bool jumped = false;
  int pointers = 0;
  for (size_t p = pos; p < msg.size();) {
    const uint8_t len = msg[p];
    if (len == 0) {
      if (!jumped) consumed = p + 1 - pos;
      return true;
    }
    switch (len & 0xC0) {
      case 0x00:
        octets += 1 + len;
        if (octets > kMaxNameOctets || p + 1 + len > msg.size()) return false;
        AppendLabel(msg.subspan(p + 1, len), name);
        p += 1 + len;
        break;
      case 0xC0:
        if (p + 2 > msg.size() || ++pointers > kMaxPointers) return false;
        if (!jumped) consumed = p + 2 - pos;
        jumped = true;
        p = ReadU16(msg, p) & 0x3FFF;
        break;
      default:  // extended and binary labels are obsolete
        return false;
    }
  }
  return false;
}

SrvAnswerResult ParseSrvAnswer(std::span<const uint8_t> answer, std::vector<ServerRecord>& out) {
  if (answer.size() < kHeaderSize) return SrvAnswerResult::OK;
  const unsigned questions = ReadU16(answer, 4);
  const unsigned records = ReadU16(answer, 6);
  size_t pos = kHeaderSize;
  std::string name;
  size_t consumed = 0;

  for (unsigned i = 0; i < questions; ++i) {
    if (!ExpandDnsName(answer, pos, name, consumed)) return SrvAnswerResult::BAD_QUESTION;
    pos += consumed + 4;  // type and class
    if (pos > answer.size()) return SrvAnswerResult::BAD_QUESTION;
  }

  for (unsigned i = 0; i < records && pos < answer.size(); ++i) {
    if (!ExpandDnsName(answer, pos, name, consumed)) return SrvAnswerResult::BAD_OWNER;
    pos += consumed;
    if (pos + kRecordFixedSize > answer.size()) break;
    const uint16_t type = ReadU16(answer, pos);
    const size_t rdlength = ReadU16(answer, pos + 8);
    const size_t rdata = pos + kRecordFixedSize;
    if (rdata + rdlength > answer.size()) break;
    pos = rdata + rdlength;
    if (type != kTypeSrv) continue;

    if (rdlength <= kSrvFixedSize) break;
    // The target's own bytes must lie inside this record's data; only its pointers may leave it.
    if (!ExpandDnsName(answer, rdata + kSrvFixedSize, name, consumed) ||
        consumed > rdlength - kSrvFixedSize) {
      break;
    }
    ServerRecord entry;
    entry.s_pref = ReadU16(answer, rdata);
    entry.s_weight = ReadU16(answer, rdata + 2);
    entry.s_port = ReadU16(answer, rdata + 4);
    entry.s_name = name;
    if (entry.s_name.empty() || entry.s_port == 0) continue;
    out.push_back(std::move(entry));
  }
  return SrvAnswerResult::OK;
}
