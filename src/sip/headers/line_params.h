// Headers made of a value and parameters (Event, Identity). Value objects: one thread at a time.
#pragma once

#include "sip/head_line.h"
#include "sip/params.h"

class LineParamsHeader : public CopyableHeader<LineParamsHeader, HeaderLine>, public SipParams {
 public:
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  const std::string& Value() const { return value_; }
  void Value(const std::string& v) { value_ = v; }

 protected:
  std::string value_;
};

class EventHeader : public CopyableHeader<EventHeader, LineParamsHeader> {};

// The info parameter (without its angle brackets) and ppt (without its quotes) are kept apart from the
// other parameters.
class IdentityHeader : public CopyableHeader<IdentityHeader, LineParamsHeader> {
 public:
  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  const std::string& Info() const { return info_; }
  const std::string& Property() const { return property_; }

 private:
  std::string info_;
  std::string property_;
};
