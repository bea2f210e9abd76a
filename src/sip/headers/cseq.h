// The CSeq header: sequence number and method. Value object: one thread at a time.
#pragma once

#include <cstdint>

#include "sip/head_line.h"
#include "sip/start_line.h"

class CSeqHeader : public CopyableHeader<CSeqHeader, HeaderLine> {
 public:
  // "number method"; fails on an unknown method, a missing blank, or a number outside 0..2^31-1.
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  int Sequence() const { return sequence_; }
  void Sequence(int n) { sequence_ = n; }
  // Adds delta (either sign) when the result stays a valid CSeq number (0 to 2^31-1); false, unchanged, else.
  bool Shift(int64_t delta);
  SipStartLine::RequestMethod Method() const { return method_; }
  void Method(SipStartLine::RequestMethod m) { method_ = m; }

 private:
  int32_t sequence_ = 0;
  SipStartLine::RequestMethod method_ = SipStartLine::BLANK_METHOD;
};
