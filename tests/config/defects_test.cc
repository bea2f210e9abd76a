// Device defects as operators write them: each letter turns on its own workaround, and the letters come
// back out exactly as they went in (the HA peer and the log readers see the configured text).
#include "config/defects.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The letter of each workaround, as the configuration documents it.
TEST(Defects, EachLetterNamesItsWorkaround) {
  const struct {
    char letter;
    Defect defect;
  } table[] = {
      // clang-format off
      {'A', Defect::INVITE_NEEDS_SDP}, {'b', Defect::IGNORE_REPLACED_CALL_BYE},
      {'c', Defect::SESSION_CONNECTION_FROM_AUDIO}, {'C', Defect::RESTORE_REQUEST_URI},
      {'d', Defect::RECORD_ROUTE_IN_PROBE_183}, {'D', Defect::NARROW_ANSWER_CODECS},
      {'e', Defect::EARLY_MEDIA_AS_ANSWER}, {'E', Defect::NO_100REL}, {'F', Defect::NO_PTIME_OR_T38_EXTRAS},
      {'H', Defect::HOLD_ANSWER_FROM_OFFER}, {'i', Defect::EMPTY_UNDIALABLE_USER},
      {'L', Defect::LOAD_BALANCED}, {'M', Defect::ADD_MAX_FORWARDS},
      {'n', Defect::HOLD_NOTIFY_DURING_CALL_SETUP}, {'N', Defect::DROP_FAST_REINVITE},
      {'O', Defect::SRTP_SAVP_ONLY}, {'p', Defect::PROCEEDING_AS_CONFIRMED},
      {'P', Defect::DROP_MAIN_PORT_FROM_URI}, {'Q', Defect::RINGBACK_AFTER_EARLY_MEDIA},
      {'r', Defect::REPLY_TO_SOURCE_PORT}, {'s', Defect::ACTIVE_APPEARANCE_STATE},
      {'S', Defect::RESTORE_SDP_AFTER_CHALLENGE}, {'t', Defect::NO_RECORD_ROUTE}, {'T', Defect::ZERO_MEDIA},
      {'U', Defect::ULAW_ONLY}, {'v', Defect::KEEP_CONTACT}, {'V', Defect::NO_VIDEO},
      {'X', Defect::BARE_SDP}, {'Y', Defect::RESTRICTED_DOMAIN_ADMITTED},
      {'B', Defect::RESTORE_REFERRED_BY}, {'R', Defect::REESCAPE_REPLACES},
      // clang-format on
  };
  std::string named;
  for (const auto& row : table) {
    SCOPED_TRACE(std::string(1, row.letter));
    const Defects d = Defects::FromLetters(std::string(1, row.letter));
    EXPECT_TRUE(d.Has(row.defect));
    EXPECT_EQ(Defects::Letter(row.defect), row.letter);
    Defects added;
    added.Add(row.defect);
    EXPECT_EQ(added, d) << "adding the flag writes its letter";
    for (const auto& other : table) {
      if (other.letter != row.letter) {
        EXPECT_FALSE(d.Has(other.defect)) << other.letter;
      }
    }
    named += row.letter;
  }
  // Any other character names no workaround (it is still kept in the text).
  for (char c = ' '; c <= '~'; ++c) {
    if (named.find(c) == std::string::npos) {
      EXPECT_FALSE(Defects::FromLetter(c).has_value()) << c;
    }
  }
}

// Letters in, flags, letters out: the text is kept as written, order, repeats, blank and unknown letters
// included.
TEST(Defects, LettersComeBackAsWritten) {
  const struct {
    const char* letters;
    std::vector<Defect> flags;
  } cases[] = {
      {"", {}},
      {" ", {}},  // a device the `broken` table does not list
      {"Te", {Defect::ZERO_MEDIA, Defect::EARLY_MEDIA_AS_ANSWER}},
      {"eT", {Defect::ZERO_MEDIA, Defect::EARLY_MEDIA_AS_ANSWER}},
      {" XN", {Defect::BARE_SDP, Defect::DROP_FAST_REINVITE}},  // subnet letters after an unlisted device
      {"aXa", {Defect::BARE_SDP}},                              // 'a' acts on nothing here
      {"CTT", {Defect::RESTORE_REQUEST_URI, Defect::ZERO_MEDIA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.letters);
    const Defects d = Defects::FromLetters(c.letters);
    EXPECT_EQ(d.Letters(), c.letters);
    Defects flags_only;
    for (Defect f : c.flags) {
      EXPECT_TRUE(d.Has(f));
      flags_only.Add(f);
    }
    for (char letter : std::string(c.letters)) {
      if (auto f = Defects::FromLetter(letter)) {
        EXPECT_TRUE(flags_only.Has(*f)) << "unexpected flag " << letter;
      }
    }
  }
}

// What the dialogs do to a device's letters: subnet rules append theirs, a call takes only the missing
// ones, an added workaround writes its letter again, removal takes every occurrence.
TEST(Defects, ChangesKeepTheTextInStep) {
  Defects d = Defects::FromLetters(" ");
  d.Append(Defects::FromLetters("AB"));
  EXPECT_EQ(d.Letters(), " AB");
  d.Append(Defects::FromLetters("A"));
  EXPECT_EQ(d.Letters(), " ABA");

  Defects call = Defects::FromLetters("Te");
  call.AddMissing(Defects::FromLetters("eXB"));
  EXPECT_EQ(call.Letters(), "TeXB");
  EXPECT_TRUE(call.Has(Defect::BARE_SDP));

  call.Add(Defect::ZERO_MEDIA);
  EXPECT_EQ(call.Letters(), "TeXBT");
  EXPECT_TRUE(call.Remove(Defect::ZERO_MEDIA));
  EXPECT_EQ(call.Letters(), "eXB");
  EXPECT_FALSE(call.Has(Defect::ZERO_MEDIA));
  EXPECT_FALSE(call.Remove(Defect::ZERO_MEDIA));

  EXPECT_FALSE(Defects().FromListedDevice());
  EXPECT_FALSE(Defects::FromLetters(" X").FromListedDevice());
  EXPECT_TRUE(Defects::FromLetters("X").FromListedDevice());
  call.Clear();
  EXPECT_TRUE(call.Empty());
  EXPECT_FALSE(call.Has(Defect::BARE_SDP));
}

}  // namespace
