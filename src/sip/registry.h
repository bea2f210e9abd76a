// The process-wide header registry entry type and the creators that make a default line of a header class.
// The registry itself (static members of SIP) is filled before main and only read afterwards, from any
// thread.
#pragma once

#include <memory>

#include "sip/head_line.h"

using HeaderCreator = std::unique_ptr<HeaderLine> (*)();

struct HeaderType {
  enum Multiplicity {
    NEVER = 0,  // one value per line, never split at commas
    ALLOW = 1,  // split on input; joined with ", " in compact output
    ALWAYS = 2  // split on input; always joined with ", "
  };
  const char* name_ = nullptr;  // canonical name; null for an identifier without a class
  char short_name_ = 0;         // compact letter, 0 when none
  Multiplicity multiplicity_ = NEVER;
  HeaderCreator constructor_ = nullptr;
};

template <class T>
struct HeaderConstructor {
  static std::unique_ptr<HeaderLine> Creator() { return std::make_unique<T>(); }
};
