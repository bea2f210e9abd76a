#include "media/rtcp_text.h"

#include <cstdio>

#include "media/rtp_header.h"

namespace {

constexpr uint8_t kSR = 200, kRR = 201, kSDES = 202, kBYE = 203, kAPP = 204;
constexpr size_t kCommonHeader = 4;
constexpr size_t kSenderInfo = 20;
constexpr size_t kReportBlock = 24;

// One sub-packet: its bytes and its report count (the low five bits of its first byte).
struct SubPacket {
  const uint8_t* p;
  size_t len;
  unsigned count;
};

void AppendSsrc(std::string& out, const uint8_t* p) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%02X%02X%02X%02X", p[0], p[1], p[2], p[3]);
  out += text;
}

void AppendReportBlocks(std::string& out, const SubPacket& sp, size_t offset) {
  for (unsigned i = 0; i < sp.count && offset + kReportBlock <= sp.len; ++i, offset += kReportBlock) {
    const uint8_t* b = sp.p + offset;
    char text[64];
    out += " R_SSRC=";
    AppendSsrc(out, b);
    std::snprintf(text, sizeof text, " LOST=%u/%u JTTR=%u", b[4], (rtp::BigEndian32(b + 4) & 0xFFFFFFu),
                  rtp::BigEndian32(b + 12));
    out += text;
  }
}

void DescribeReport(std::string& out, const SubPacket& sp, bool sender) {
  out += sender ? "SR  SSRC=" : "RR  SSRC=";
  if (sp.len < kCommonHeader + 4) return;
  AppendSsrc(out, sp.p + 4);
  size_t offset = kCommonHeader + 4;
  if (sender) {
    if (sp.len < offset + kSenderInfo) return;
    char text[24];
    std::snprintf(text, sizeof text, " PCNT=%u", rtp::BigEndian32(sp.p + offset + 12));
    out += text;
    offset += kSenderInfo;
  }
  AppendReportBlocks(out, sp, offset);
}

// The reason text is printed with its control bytes masked, so a peer cannot forge log lines.
void DescribeBye(std::string& out, const SubPacket& sp) {
  out += "BYE";
  size_t offset = kCommonHeader;
  for (unsigned i = 0; i < sp.count && offset + 4 <= sp.len; ++i, offset += 4) {
    out += i == 0 ? " SSRC=" : ",";
    AppendSsrc(out, sp.p + offset);
  }
  if (offset >= sp.len) return;
  size_t text_len = sp.p[offset++];
  if (text_len > sp.len - offset) text_len = sp.len - offset;
  out += " TXT=";
  for (size_t i = 0; i < text_len; ++i) {
    uint8_t c = sp.p[offset + i];
    out += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
  }
}

void DescribeOne(std::string& out, uint8_t type, const SubPacket& sp) {
  switch (type) {
    case kSR:
      DescribeReport(out, sp, true);
      break;
    case kRR:
      DescribeReport(out, sp, false);
      break;
    case kSDES:
      out += "DES";
      break;
    case kBYE:
      DescribeBye(out, sp);
      break;
    case kAPP:
      out += "APP";
      break;
    default:
      out += "Unknown";
      break;
  }
}

}  // namespace

std::string DescribeRTCP(const uint8_t* pkt, size_t len) {
  std::string out;
  size_t offset = 0;
  while (len - offset >= 5) {
    const uint8_t* p = pkt + offset;
    size_t sub_len = (size_t{rtp::BigEndian16(p + 2)} + 1) * 4;
    if (sub_len > len - offset) break;
    if (offset != 0) out += ";   ";
    DescribeOne(out, p[1], SubPacket{p, sub_len, p[0] & 0x1Fu});
    offset += sub_len;
  }
  return out;
}
