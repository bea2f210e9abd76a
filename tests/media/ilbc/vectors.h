// Access to the iLBC golden vectors kept outside the repository (OSTREL_SHARED_DIR/ilbc).
// Test-only helpers; used from the test's main thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::ilbc::testing {

inline std::filesystem::path vector_dir() {
  if (const char* env = std::getenv("OSTREL_SHARED_DIR"); env != nullptr && *env != '\0') {
    return std::filesystem::path(env) / "ilbc";
  }
  return std::filesystem::path(OSTREL_SHARED_DIR) / "ilbc";
}

inline std::optional<std::vector<std::uint8_t>> read_file(const std::string& name) {
  std::ifstream in(vector_dir() / name, std::ios::binary);
  if (!in) return std::nullopt;
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::int16_t> as_pcm(const std::vector<std::uint8_t>& bytes) {
  std::vector<std::int16_t> pcm(bytes.size() / 2);
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    pcm[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return pcm;
}

inline bool in_ci() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

}  // namespace ostrel::ilbc::testing

// Loads a golden file into `var`; in CI a missing file fails the test, elsewhere it skips it.
#define ILBC_LOAD_VECTOR(var, name)                                                              \
  auto var##_opt = ::ostrel::ilbc::testing::read_file(name);                                     \
  if (!var##_opt) {                                                                              \
    if (::ostrel::ilbc::testing::in_ci()) {                                                      \
      FAIL() << "golden file missing: " << (::ostrel::ilbc::testing::vector_dir() / (name));     \
    }                                                                                            \
    GTEST_SKIP() << "golden file missing: " << (::ostrel::ilbc::testing::vector_dir() / (name)); \
  }                                                                                              \
  const std::vector<std::uint8_t>& var = *var##_opt
