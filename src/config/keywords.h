// The configuration keyword table: keyword, whether a re-read applies it, and its handler. Constant
// data; looked up on the reactor thread while the file is read.
#pragma once

#include <string>
#include <string_view>

#include "config/settings.h"

struct ConfigKeyword {
  const char* keyword;
  bool reread;  // applied on re-reads too; otherwise only at the first read
  bool (Settings::*handler)(std::string& value);
};

// Every keyword, in table order.
extern const ConfigKeyword kConfigKeywords[];
extern const size_t kConfigKeywordCount;

// Exact, case-sensitive lookup; null for an unknown keyword.
const ConfigKeyword* FindKeyword(std::string_view keyword);

// Boolean words: "yes", "on" and "true" mean true, anything else false (case-sensitive).
bool IsYesWord(const std::string& value);
