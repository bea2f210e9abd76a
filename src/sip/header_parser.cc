// Parsing of the start line and header section: line collection with folding, header lookup, and the
// checks a message must pass before it may be relayed.
#include <cstring>

#include "sip/header.h"
#include "sip/headers/cseq.h"
#include "sip/message.h"
#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// One line end: CR optionally followed by LF, or LF optionally followed by CR.
void SkipLineEnd(std::string_view& text) {
  if (text.empty()) return;
  char first = text[0];
  if (!IsLineEnd(first)) return;
  text.remove_prefix(1);
  if (!text.empty() && IsLineEnd(text[0]) && text[0] != first) text.remove_prefix(1);
}

std::string_view TakePhysicalLine(std::string_view& text) {
  size_t end = 0;
  while (end < text.size() && !IsLineEnd(text[end])) ++end;
  std::string_view line = text.substr(0, end);
  text.remove_prefix(end);
  SkipLineEnd(text);
  return line;
}

// The next logical line with its continuation lines joined by one blank; false at the empty line that
// ends the header section (consumed) or at the end of the text. folded holds joined lines.
bool NextLogicalLine(std::string_view& text, std::string& folded, std::string_view& line) {
  if (text.empty()) return false;
  if (IsLineEnd(text[0])) {
    SkipLineEnd(text);
    return false;
  }
  line = TakePhysicalLine(text);
  if (text.empty() || !IsBlank(text[0])) return true;
  folded.assign(line);
  while (!text.empty() && IsBlank(text[0])) {
    folded += ' ';
    folded += TrimLeft(TakePhysicalLine(text));
  }
  line = folded;
  return true;
}

// Lower-cases name into buf for the registry lookup; names longer than any registered one are not looked up.
bool LowerName(std::string_view name, char (&buf)[32], std::string_view& lowered) {
  if (name.size() >= sizeof buf) return false;
  for (size_t i = 0; i < name.size(); ++i) buf[i] = Lower(name[i]);
  lowered = std::string_view(buf, name.size());
  return true;
}

size_t ChainLength(const HeaderLine* l) {
  size_t n = 0;
  for (; l; l = l->Next()) ++n;
  return n;
}

}  // namespace

bool SipHeaders::Parse(const char*& p, bool noRequiredCheck) {
  if (!p) {
    SipReport("Empty Message.\n");
    return false;
  }
  std::string_view text(p, std::strlen(p));
  bool ok = Parse(text, noRequiredCheck);
  p = text.data();
  return ok;
}

bool SipHeaders::Parse(std::string_view& text, bool noRequiredCheck) {
  if (!ParseSection(text, noRequiredCheck, nullptr)) return false;
  while (!text.empty() && IsLineEnd(text[0])) text.remove_prefix(1);
  return true;
}

bool SipHeaders::ParseSection(std::string_view& text, bool noRequiredCheck, ParseNotes* notes) {
  if (text.empty()) {
    SipReport("Empty Message.\n");
    return false;
  }
  if (IsBlank(text[0]) || IsLineEnd(text[0])) {
    SipReport("Message Begining with SPACE.\n");
    return false;
  }
  std::string folded;
  std::string_view line;
  bool start_line = true;
  while (NextLogicalLine(text, folded, line)) {
    if (line.find('\0') != std::string_view::npos) {
      SipReport("NUL character in Header\n");
      return false;
    }
    if (start_line) {
      if (!SipStartLine::Parse(line)) return false;
      start_line = false;
    } else if (!ParseHeaderLine(line, notes)) {
      return false;
    }
  }
  if (start_line) {
    // Only reachable for a text that starts with a line end, refused above; kept for safety.
    SipReport("Empty Message.\n");
    return false;
  }
  return CheckSection(noRequiredCheck);
}

bool SipHeaders::ParseHeaderLine(std::string_view line, ParseNotes* notes) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) {
    SipReport("Incorrect Header line\n");
    return false;
  }
  std::string_view name = TrimRight(line.substr(0, colon));
  if (name.empty() || HasBlank(name)) {
    SipReport("Incorrect Header Type\n");
    return false;
  }
  std::string_view value = Trim(line.substr(colon + 1));
  char buf[32];
  std::string_view lowered;
  HeadId id = HID_BLANK;
  if (LowerName(name, buf, lowered)) id = SipMessage::GetHeaderByName(lowered);
  if (id == HID_BLANK) {
    heads_.emplace(NextId(), std::make_unique<UnknownHeader>(name, value));
    return true;
  }
  if (id == HID_CONTENT_LENGTH && notes) {
    notes->has_content_length = true;
    notes->content_length.assign(value);
  }
  return LineSet(id, value);
}

// Refuses what the relay could only pass on ambiguously: missing required headers, a second From, To,
// Call-ID, CSeq, Max-Forwards or Content-Length, and a request whose CSeq names another method.
bool SipHeaders::CheckSection(bool noRequiredCheck) const {
  if (!noRequiredCheck) {
    for (HeadId id : kRequestHeaders) {
      if (!Header(id)) {
        SipReport("Required Header is Missing\n");
        return false;
      }
    }
  }
  for (HeadId id : {HID_FROM, HID_TO, HID_CALL_ID, HID_CSEQ, HID_MAX_FORWARDS, HID_CONTENT_LENGTH}) {
    if (ChainLength(Header(id)) > 1) {
      SipReport("Header must not be repeated\n");
      return false;
    }
  }
  if (IsRequest()) {
    auto* cseq = Header<CSeqHeader>(HID_CSEQ);
    if (cseq && cseq->Method() != method_) {
      SipReport("CSeq METHOD doesn't match Request METHOD\n");
      return false;
    }
  }
  return true;
}
