// Headers holding one decimal number (Max-Forwards, Expires, Content-Length). Values outside the int range
// are clamped to it. Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"

class MaxForwardsHeader : public CopyableHeader<MaxForwardsHeader, HeaderLine> {
 public:
  // Like atoi (non-numeric text gives 0), saturating instead of wrapping; never fails.
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  int Value() const { return value_; }
  void Value(int v) { value_ = v; }

 protected:
  int value_ = 0;
};

class ExpiresHeader : public CopyableHeader<ExpiresHeader, MaxForwardsHeader> {};
class ContentLengthHeader : public CopyableHeader<ContentLengthHeader, MaxForwardsHeader> {};
