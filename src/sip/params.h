// A SIP parameter list (";name=value;flag"), as used in URIs, Via and header parameters, with its parser
// and assembler. A value object: one thread at a time.
#pragma once

#include <map>
#include <string>
#include <string_view>

// Parameter and URI-header maps: name to value, compared byte-wise; names come out in ascending order.
using ParamMap = std::map<std::string, std::string, std::less<>>;

class SipParams {
 public:
  // Adds the parameters of text to the map; the first occurrence of a repeated name wins.
  bool Parse(std::string_view text);
  std::string& Assemble(std::string& out) const;

  // The value, "" for a parameter without value, null when absent.
  const char* Param(std::string_view name) const;
  void Param(const std::string& name, const std::string& value);
  void Remove(std::string_view name);
  void PClear() { params_.clear(); }
  const ParamMap& ParamsMap() const { return params_; }

 protected:
  ParamMap params_;
};
