// The compiled constant tables against tables.txt (RFC 3951 data), bit for bit.
#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "media/ilbc/tables.h"
#include "media/ilbc/vectors.h"

namespace ostrel::ilbc {
namespace {

template <typename T, std::size_t N>
std::vector<double> flat(const std::array<T, N>& a) {
  return std::vector<double>(a.begin(), a.end());
}
template <typename T, std::size_t C, std::size_t R>
std::vector<double> flat(const std::array<std::array<T, C>, R>& a) {
  std::vector<double> v;
  for (const auto& row : a) v.insert(v.end(), row.begin(), row.end());
  return v;
}

// name -> (columns kept per row, tokens)
std::map<std::string, std::pair<int, std::vector<std::string>>> parse(const std::string& text) {
  std::map<std::string, std::pair<int, std::vector<std::string>>> out;
  std::istringstream in(text);
  std::string line, cur;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      std::istringstream hs(line.substr(2));
      std::string name, dims;
      hs >> name;
      if (name == "DERIVED") hs >> name;
      if (hs >> dims && dims.front() == '[') {
        cur = name;
        out[cur].first = 0;
      }
      continue;
    }
    if (line.empty() || line[0] == '#' || cur.empty()) continue;
    std::istringstream ls(line);
    for (std::string tok; ls >> tok;) out[cur].second.push_back(tok);
  }
  return out;
}

TEST(Tables, MatchTheirTextSourceBitForBit) {
  ILBC_LOAD_VECTOR(raw, "tables.txt");
  auto tables = parse(std::string(raw.begin(), raw.end()));
  const std::vector<std::pair<std::string, std::vector<double>>> compiled = {
      {"hpi_zero_coefsTbl", flat(tbl::kHpiZeroCoefs)},
      {"hpi_pole_coefsTbl", flat(tbl::kHpiPoleCoefs)},
      {"hpo_zero_coefsTbl", flat(tbl::kHpoZeroCoefs)},
      {"hpo_pole_coefsTbl", flat(tbl::kHpoPoleCoefs)},
      {"lpc_winTbl", flat(tbl::kLpcWin)},
      {"lpc_asymwinTbl", flat(tbl::kLpcAsymwin)},
      {"lpc_lagwinTbl", flat(tbl::kLpcLagwin)},
      {"lsfmeanTbl", flat(tbl::kLsfmean)},
      {"lsfCbTbl_split1", flat(tbl::kLsfCbSplit1)},
      {"lsfCbTbl_split2", flat(tbl::kLsfCbSplit2)},
      {"lsfCbTbl_split3", flat(tbl::kLsfCbSplit3)},
      {"lsf_weightTbl_30ms", flat(tbl::kLsfWeight30ms)},
      {"state_frgqTbl", flat(tbl::kStateFrgq)},
      {"state_sq3Tbl", flat(tbl::kStateSq3)},
      {"gain_sq5Tbl", flat(tbl::kGainSq5)},
      {"gain_sq4Tbl", flat(tbl::kGainSq4)},
      {"gain_sq3Tbl", flat(tbl::kGainSq3)},
      {"search_rangeTbl", flat(tbl::kSearchRange)},
      {"cbfiltersTbl", flat(tbl::kCbfilters)},
      {"lpFilt_coefsTbl", flat(tbl::kLpFiltCoefs)},
      {"polyphaserTbl", flat(tbl::kPolyphaser)},
      {"enh_plocsTbl", flat(tbl::kEnhPlocs)},
      {"enh_smooth_wt", flat(tbl::kEnhSmoothWt)},
      {"frameclass_ssqEn_win", flat(tbl::kFrameclassSsqEnWin)},
      {"frameclass_sampEn_win", flat(tbl::kFrameclassSampEnWin)},
      {"a2lsf_steps", flat(tbl::kA2lsfSteps)},
      {"lsf_check", flat(tbl::kLsfCheck)},
  };
  for (const auto& [name, values] : compiled) {
    ASSERT_TRUE(tables.count(name)) << name;
    const auto& toks = tables[name].second;
    ASSERT_EQ(toks.size(), values.size()) << name;
    for (std::size_t i = 0; i < toks.size(); ++i) {
      const float want = std::strtof(toks[i].c_str(), nullptr);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(values[i])),
                std::bit_cast<std::uint32_t>(want))
          << name << "[" << i << "] = " << toks[i];
    }
  }
  // Bit allocations: the three class columns of each five-column row.
  const std::vector<std::pair<std::string, std::vector<double>>> alloc = {
      {"ulp30_lsf_bits", flat(tbl::kUlp30LsfBits)},
      {"ulp30_start_bits", flat(tbl::kUlp30StartBits)},
      {"ulp30_startfirst_bits", flat(tbl::kUlp30StartfirstBits)},
      {"ulp30_scale_bits", flat(tbl::kUlp30ScaleBits)},
      {"ulp30_state_bits", flat(tbl::kUlp30StateBits)},
      {"ulp30_extra_cb_index", flat(tbl::kUlp30ExtraCbIndex)},
      {"ulp30_extra_cb_gain", flat(tbl::kUlp30ExtraCbGain)},
      {"ulp30_cb_index", flat(tbl::kUlp30CbIndex)},
      {"ulp30_cb_gain", flat(tbl::kUlp30CbGain)},
  };
  for (const auto& [name, values] : alloc) {
    const auto& toks = tables[name].second;
    ASSERT_EQ(toks.size() / 5 * 3, values.size()) << name;
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(std::stoi(toks[i / 3 * 5 + i % 3]), static_cast<int>(values[i])) << name << "[" << i << "]";
    }
  }
}

}  // namespace
}  // namespace ostrel::ilbc
