// Builds DNS messages byte by byte for the resolution tests: header, names (plain, or labels ending in a
// compression pointer), questions and records, so that well-formed and broken answers read alike.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class DnsMessage {
 public:
  static constexpr uint16_t kQuestionName = 12;  // offset of the first question's name
  static constexpr uint16_t kTypeSrv = 33;

  DnsMessage& U8(uint8_t v) {
    bytes_.push_back(v);
    return *this;
  }
  DnsMessage& U16(uint16_t v) { return U8(v >> 8).U8(v & 0xFF); }
  DnsMessage& U32(uint32_t v) { return U16(v >> 16).U16(v & 0xFFFF); }
  DnsMessage& Raw(const std::vector<uint8_t>& raw) {
    bytes_.insert(bytes_.end(), raw.begin(), raw.end());
    return *this;
  }

  // Answer header: response, recursion desired and available, the given counts.
  DnsMessage& Header(uint16_t questions, uint16_t answers, uint16_t id = 0x1234, uint16_t rcode = 0) {
    return U16(id).U16(0x8180 | rcode).U16(questions).U16(answers).U16(0).U16(0);
  }
  // Labels of a dotted name without the terminating root label (to be followed by Pointer or Root).
  DnsMessage& Labels(std::string_view dotted) {
    while (!dotted.empty()) {
      size_t dot = dotted.find('.');
      std::string_view label = dotted.substr(0, dot);
      U8(static_cast<uint8_t>(label.size()));
      for (char c : label) U8(static_cast<uint8_t>(c));
      if (dot == std::string_view::npos) break;
      dotted.remove_prefix(dot + 1);
    }
    return *this;
  }
  DnsMessage& Root() { return U8(0); }
  DnsMessage& Name(std::string_view dotted) { return Labels(dotted).Root(); }
  DnsMessage& Pointer(uint16_t offset) { return U16(0xC000 | offset); }
  DnsMessage& Question(std::string_view name, uint16_t type = kTypeSrv) {
    return Name(name).U16(type).U16(1);
  }

  // A record owned by the question's name (compressed), with the given type and data.
  DnsMessage& Record(uint16_t type, const std::vector<uint8_t>& rdata, uint16_t owner = kQuestionName) {
    Pointer(owner).U16(type).U16(1).U32(300).U16(static_cast<uint16_t>(rdata.size()));
    return Raw(rdata);
  }
  DnsMessage& Srv(uint16_t priority, uint16_t weight, uint16_t port, std::string_view target) {
    return Record(kTypeSrv, SrvData(priority, weight, port, target));
  }

  static std::vector<uint8_t> SrvData(uint16_t priority, uint16_t weight, uint16_t port,
                                      std::string_view target) {
    DnsMessage data;
    data.U16(priority).U16(weight).U16(port);
    if (target == ".") {
      data.Root();
    } else {
      data.Name(target);
    }
    return data.bytes_;
  }

  size_t size() const { return bytes_.size(); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> First(size_t n) const { return {bytes_.begin(), bytes_.begin() + n}; }

 private:
  std::vector<uint8_t> bytes_;
};
