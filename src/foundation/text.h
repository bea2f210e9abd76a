// Small string functions shared by every subsystem: trimming, splitting, hexadecimal, line ends and
// ${NAME} expansion. No shared state: safe on any thread.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

std::string& LTrim(std::string& s);
std::string& RTrim(std::string& s);
std::string& LRTrim(std::string& s);
std::string& ToLower(std::string& s);

// Fields separated by sep (blank or tab when sep is NUL); leading blanks of each field skipped, trailing
// blanks removed, empty inner fields kept, no empty field for a trailing separator.
std::vector<std::string> Split(const std::string& s, char sep);
size_t Split(const std::string& s, std::vector<std::string>& out, char sep);
std::string Combine(const std::vector<std::string>& v, char sep);

std::pair<char, char> HexToChar(unsigned char c);
void Hex16Char(const unsigned char* in, char* out);  // out holds 33 bytes
std::string HexToText(const unsigned char* in, size_t n);

// Advances p over one line end: CR LF, LF CR, a lone CR or a lone LF.
void SkipCRLF(const char*& p);

// Replaces ${NAME} with the environment's value (nothing when unset). Values may hold further references;
// after kMaxEnvExpansions substitutions the expansion stops and false is returned (self-referencing values).
constexpr int kMaxEnvExpansions = 32;
bool EnvExpansion(std::string& s);
