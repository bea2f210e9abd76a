#include "sip/headers/cseq.h"

#include <climits>

#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

bool CSeqHeader::Parse(std::string_view value) {
  value = TrimLeft(value);
  size_t blank = FindBlank(value);
  if (blank == std::string_view::npos) return false;
  // strtol-like: optional sign, then digits; no digits give 0.
  std::string_view number = value.substr(0, blank);
  size_t i = 0;
  bool negative = false;
  if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative = number[i++] == '-';
  int64_t seq = 0;
  for (; i < number.size() && IsDigit(number[i]); ++i) {
    seq = seq * 10 + (number[i] - '0');
    if (seq > INT_MAX) break;
  }
  if (seq > INT_MAX || (negative && seq != 0)) {
    SipReport("Incorrect CSeq number\n");
    return false;
  }
  sequence_ = int32_t(seq);
  method_ = SipStartLine::ParseMethod(value.substr(blank));
  return method_ != SipStartLine::BLANK_METHOD;
}

bool CSeqHeader::Shift(int64_t delta) {
  const int64_t shifted = int64_t{sequence_} + delta;
  if (shifted < 0 || shifted > INT32_MAX) return false;
  sequence_ = static_cast<int32_t>(shifted);
  return true;
}

std::string& CSeqHeader::Assemble(std::string& out) const {
  out += std::to_string(sequence_);
  out += ' ';
  out += SipStartLine::kMethodNames[method_ < SipStartLine::METHOD_COUNT ? method_ : 0];
  return out;
}
