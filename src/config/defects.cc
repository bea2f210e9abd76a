// The letters of the device defects: the one table that ties each workaround to its letter.
#include "config/defects.h"

#include <iterator>
#include <utility>

namespace {

struct Lettered {
  Defect defect;
  char letter;
};

constexpr Lettered kLetters[] = {
    {Defect::INVITE_NEEDS_SDP, 'A'},
    {Defect::IGNORE_REPLACED_CALL_BYE, 'b'},
    {Defect::SESSION_CONNECTION_FROM_AUDIO, 'c'},
    {Defect::RESTORE_REQUEST_URI, 'C'},
    {Defect::RECORD_ROUTE_IN_PROBE_183, 'd'},
    {Defect::NARROW_ANSWER_CODECS, 'D'},
    {Defect::EARLY_MEDIA_AS_ANSWER, 'e'},
    {Defect::NO_100REL, 'E'},
    {Defect::NO_PTIME_OR_T38_EXTRAS, 'F'},
    {Defect::HOLD_ANSWER_FROM_OFFER, 'H'},
    {Defect::EMPTY_UNDIALABLE_USER, 'i'},
    {Defect::LOAD_BALANCED, 'L'},
    {Defect::ADD_MAX_FORWARDS, 'M'},
    {Defect::HOLD_NOTIFY_DURING_CALL_SETUP, 'n'},
    {Defect::DROP_FAST_REINVITE, 'N'},
    {Defect::SRTP_SAVP_ONLY, 'O'},
    {Defect::PROCEEDING_AS_CONFIRMED, 'p'},
    {Defect::DROP_MAIN_PORT_FROM_URI, 'P'},
    {Defect::RINGBACK_AFTER_EARLY_MEDIA, 'Q'},
    {Defect::REPLY_TO_SOURCE_PORT, 'r'},
    {Defect::ACTIVE_APPEARANCE_STATE, 's'},
    {Defect::RESTORE_SDP_AFTER_CHALLENGE, 'S'},
    {Defect::NO_RECORD_ROUTE, 't'},
    {Defect::ZERO_MEDIA, 'T'},
    {Defect::ULAW_ONLY, 'U'},
    {Defect::KEEP_CONTACT, 'v'},
    {Defect::NO_VIDEO, 'V'},
    {Defect::BARE_SDP, 'X'},
    {Defect::RESTRICTED_DOMAIN_ADMITTED, 'Y'},
    {Defect::RESTORE_REFERRED_BY, 'B'},
    {Defect::REESCAPE_REPLACES, 'R'},
};

// The table is in the enumeration's order, so that a defect's letter is found by its value.
constexpr bool InOrder() {
  for (size_t i = 0; i < std::size(kLetters); ++i)
    if (static_cast<size_t>(kLetters[i].defect) != i) return false;
  return std::size(kLetters) <= 64;
}
static_assert(InOrder());

}  // namespace

char Defects::Letter(Defect d) { return kLetters[static_cast<size_t>(d)].letter; }

std::optional<Defect> Defects::FromLetter(char c) {
  for (const Lettered& l : kLetters)
    if (l.letter == c) return l.defect;
  return std::nullopt;
}

Defects Defects::FromLetters(std::string_view letters) {
  Defects d;
  for (char c : letters) d.AppendLetter(c);
  return d;
}

void Defects::AppendLetter(char c) {
  letters_ += c;
  if (std::optional<Defect> d = FromLetter(c)) flags_ |= Bit(*d);
}

void Defects::Add(Defect d) { AppendLetter(Letter(d)); }

void Defects::Append(const Defects& more) {
  for (char c : more.letters_) AppendLetter(c);
}

void Defects::AddMissing(const Defects& more) {
  for (char c : more.letters_)
    if (letters_.find(c) == std::string::npos) AppendLetter(c);
}

bool Defects::Remove(Defect d) {
  if (!Has(d)) return false;
  const char letter = Letter(d);
  std::string kept;
  for (char c : letters_)
    if (c != letter) kept += c;
  letters_ = std::move(kept);
  flags_ &= ~Bit(d);
  return true;
}
