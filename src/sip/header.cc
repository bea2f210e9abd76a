#include "sip/header.h"

#include "sip/message.h"
#include "sip/report.h"
#include "sip/scan.h"

using namespace sipscan;

const SipHeaders::HeadId SipHeaders::kRequestHeaders[5] = {HID_VIA, HID_FROM, HID_TO, HID_CALL_ID, HID_CSEQ};

SipHeaders::SipHeaders(const SipHeaders& other) : SipStartLine(other), max_head_id_(other.max_head_id_) {
  for (const auto& [key, head] : other.heads_) heads_.emplace(key, head->Copy());
}

SipHeaders& SipHeaders::operator=(const SipHeaders& other) {
  if (this != &other) {
    SipHeaders copy(other);
    *this = std::move(copy);
  }
  return *this;
}

HeaderLine* SipHeaders::Header(HeadId id) const {
  auto it = heads_.find(int(id));
  return it == heads_.end() ? nullptr : it->second.get();
}

const char* SipHeaders::Header(std::string_view name) const {
  for (auto it = heads_.lower_bound(HID_LAST); it != heads_.end(); ++it) {
    auto* unknown = dynamic_cast<const UnknownHeader*>(it->second.get());
    if (unknown && EqualsIgnoringCase(unknown->Header(), name)) return unknown->Value().c_str();
  }
  return nullptr;
}

void SipHeaders::Header(const std::string& name, const std::string& value) {
  heads_.emplace(NextId(), std::make_unique<UnknownHeader>(name, value));
}

void SipHeaders::Set(HeadId id, std::unique_ptr<HeaderLine> line) {
  if (!line) {
    Remove(id);
    return;
  }
  heads_[int(id)] = std::move(line);
}

bool SipHeaders::Set(HeadId id, std::string_view value) {
  std::unique_ptr<HeaderLine> line = SipMessage::CreateLine(id);
  if (!line->Parse(value)) return false;
  Set(id, std::move(line));
  return true;
}

void SipHeaders::push_back(HeadId id, std::unique_ptr<HeaderLine> line) {
  if (!line) return;
  std::unique_ptr<HeaderLine>& head = heads_[int(id)];
  if (head)
    head->Chain(std::move(line));
  else
    head = std::move(line);
}

void SipHeaders::push_front(HeadId id, std::unique_ptr<HeaderLine> line) {
  if (!line) return;
  std::unique_ptr<HeaderLine>& head = heads_[int(id)];
  line->Chain(std::move(head));
  head = std::move(line);
}

bool SipHeaders::push_back(HeadId id, std::string_view value) {
  std::unique_ptr<HeaderLine> line = SipMessage::CreateLine(id);
  if (!line->Parse(value)) return false;
  push_back(id, std::move(line));
  return true;
}

bool SipHeaders::push_front(HeadId id, std::string_view value) {
  std::unique_ptr<HeaderLine> line = SipMessage::CreateLine(id);
  if (!line->Parse(value)) return false;
  push_front(id, std::move(line));
  return true;
}

namespace {

// Where a comma separates two values of a list: not inside double quotes (with backslash escapes) and not
// inside <...>.
class ListScanner {
 public:
  // Feeds text[i]; true when it is a separating comma. May step i over an escaped character.
  bool Separates(std::string_view text, size_t& i) {
    char c = text[i];
    if (quoted_) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted_ = false;
    } else if (bracketed_) {
      if (c == '>') bracketed_ = false;
    } else if (c == '"') {
      quoted_ = true;
    } else if (c == '<') {
      bracketed_ = true;
    } else if (c == ',') {
      return true;
    }
    return false;
  }
  bool Neutral() const { return !quoted_ && !bracketed_; }

 private:
  bool quoted_ = false;
  bool bracketed_ = false;
};

// Calls part(text) for each value of a comma list; stops and returns false when part does.
template <class Fn>
bool ForEachValue(std::string_view text, Fn&& part) {
  ListScanner scanner;
  size_t begin = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (scanner.Separates(text, i)) {
      if (!part(text.substr(begin, i - begin))) return false;
      begin = i + 1;
    }
  }
  return part(text.substr(begin));
}

// A value that can be joined to others with ", " and split back the same way.
bool StandsAloneInList(std::string_view value) {
  ListScanner scanner;
  for (size_t i = 0; i < value.size(); ++i)
    if (scanner.Separates(value, i)) return false;
  return scanner.Neutral();
}

// Assembly only adds balanced quotes and brackets, so a value without these characters stays one value.
bool MayLeaveItsList(std::string_view text) {
  for (char c : text)
    if (c == '"' || c == '<' || c == '>' || c == ',') return true;
  return false;
}

}  // namespace

bool SipHeaders::ParseValues(HeadId id, std::string_view value, std::unique_ptr<HeaderLine>& chain) {
  HeaderLine* tail = chain ? chain->Last() : nullptr;
  const HeaderType* type = SipMessage::GetHeaderTypeById(id);
  bool listed = type && type->multiplicity_ != HeaderType::NEVER;
  std::string assembled;
  auto parse_one = [&](std::string_view text) {
    std::unique_ptr<HeaderLine> line = SipMessage::CreateLine(id);
    if (!line->Parse(text)) return false;
    // A value whose assembled text would swallow or split its neighbours when the list is written
    // joined is refused, so that every accepted message assembles into one that parses the same.
    if (listed && MayLeaveItsList(text)) {
      assembled.clear();
      if (!StandsAloneInList(line->Assemble(assembled))) {
        SipReport("Unbalanced quotes or brackets in Header\n");
        return false;
      }
    }
    HeaderLine* added = line.get();
    if (tail)
      tail->AttachNext(std::move(line));
    else
      chain = std::move(line);
    tail = added;
    return true;
  };
  if (!listed || value.empty()) return parse_one(value);
  return ForEachValue(value, parse_one);
}

bool SipHeaders::LineSet(HeadId id, std::string_view value) {
  std::unique_ptr<HeaderLine> chain;
  if (!ParseValues(id, value, chain)) return false;
  push_back(id, std::move(chain));
  return true;
}

void SipHeaders::Remove(HeadId id) { heads_.erase(int(id)); }

void SipHeaders::Remove(std::string_view name) {
  for (auto it = heads_.lower_bound(HID_LAST); it != heads_.end();) {
    auto* unknown = dynamic_cast<const UnknownHeader*>(it->second.get());
    if (unknown && EqualsIgnoringCase(unknown->Header(), name))
      it = heads_.erase(it);
    else
      ++it;
  }
}

void SipHeaders::restrict() {
  Remove(HID_SUPPORTED);
  heads_.erase(heads_.lower_bound(HID_LAST), heads_.end());
}

std::unique_ptr<HeaderLine> SipHeaders::pop_front(HeadId id) {
  auto it = heads_.find(int(id));
  if (it == heads_.end()) return nullptr;
  std::unique_ptr<HeaderLine> first = std::move(it->second);
  std::unique_ptr<HeaderLine> rest = first->DetachNext();
  if (rest)
    it->second = std::move(rest);
  else
    heads_.erase(it);
  return first;
}

std::unique_ptr<HeaderLine> SipHeaders::pop(HeadId id, size_t n) {
  if (n == 0) return pop_front(id);
  HeaderLine* before = Header(id);
  for (size_t i = 1; before && i < n; ++i) before = before->Next();
  if (!before || !before->Next()) return nullptr;
  std::unique_ptr<HeaderLine> taken = before->DetachNext();
  before->AttachNext(taken->DetachNext());
  return taken;
}

std::unique_ptr<HeaderLine> SipHeaders::pop_back(HeadId id) {
  HeaderLine* head = Header(id);
  if (!head) return nullptr;
  size_t n = 0;
  for (HeaderLine* l = head->Next(); l; l = l->Next()) ++n;
  return pop(id, n);
}

void SipHeaders::Reverse(HeadId id) {
  auto it = heads_.find(int(id));
  if (it != heads_.end()) HeaderLine::Reverse(it->second);
}

size_t SipHeaders::Parse(HeadId id) {
  const HeaderType* type = SipMessage::GetHeaderTypeById(id);
  if (!type || !type->name_) return 0;
  const char letter[2] = {type->short_name_, 0};
  size_t converted = 0;
  for (auto it = heads_.lower_bound(HID_LAST); it != heads_.end();) {
    auto* unknown = dynamic_cast<const UnknownHeader*>(it->second.get());
    bool named = unknown && (EqualsIgnoringCase(unknown->Header(), type->name_) ||
                             (type->short_name_ && EqualsIgnoringCase(unknown->Header(), letter)));
    std::unique_ptr<HeaderLine> chain;
    if (named && ParseValues(id, unknown->Value(), chain)) {
      push_back(id, std::move(chain));
      it = heads_.erase(it);
      ++converted;
    } else {
      ++it;
    }
  }
  return converted;
}

std::string& SipHeaders::Assemble(std::string& out, bool long_form) const {
  return AssembleHeads(out, long_form, nullptr);
}

std::string& SipHeaders::AssembleHeads(std::string& out, bool long_form, const size_t* contentLength) const {
  SipStartLine::Assemble(out);
  auto write_length = [&] {
    out += long_form ? "Content-Length: " : "l: ";
    out += std::to_string(*contentLength);
    out += "\r\n";
  };
  bool length_written = contentLength == nullptr;
  for (const auto& [key, head] : heads_) {
    if (!length_written && key >= int(HID_CONTENT_LENGTH)) {
      write_length();
      length_written = true;
      if (key == int(HID_CONTENT_LENGTH)) continue;
    }
    head->LineAssemble(out, HeadId(key), long_form, key >= int(HID_LAST));
  }
  if (!length_written) write_length();
  return out;
}
