#include "sip/head_line.h"

#include "sip/message.h"
#include "sip/report.h"

HeaderLine::~HeaderLine() {
  std::unique_ptr<HeaderLine> next = std::move(next_);
  while (next) next = std::move(next->next_);
}

std::unique_ptr<HeaderLine> HeaderLine::Copy() const {
  std::unique_ptr<HeaderLine> head = CopyOne();
  HeaderLine* tail = head.get();
  for (const HeaderLine* l = Next(); l; l = l->Next()) {
    tail->next_ = l->CopyOne();
    tail = tail->next_.get();
  }
  return head;
}

HeaderLine* HeaderLine::Last() {
  HeaderLine* l = this;
  while (l->next_) l = l->next_.get();
  return l;
}

void HeaderLine::Chain(std::unique_ptr<HeaderLine> l) { Last()->next_ = std::move(l); }

void HeaderLine::Reverse(std::unique_ptr<HeaderLine>& head) {
  std::unique_ptr<HeaderLine> reversed;
  while (head) {
    std::unique_ptr<HeaderLine> rest = std::move(head->next_);
    head->next_ = std::move(reversed);
    reversed = std::move(head);
    head = std::move(rest);
  }
  head = std::move(reversed);
}

std::string& HeaderLine::LineAssemble(std::string& out, HeadId id, bool long_form, bool noName) const {
  const HeaderType* type = SipMessage::GetHeaderTypeById(id);
  if (noName || !type || !type->name_) {
    // Only raw lines carry their own name; a typed line stored under such a key has none to write.
    for (const HeaderLine* l = this; l; l = l->Next()) {
      if (!dynamic_cast<const UnknownHeader*>(l)) continue;
      l->Assemble(out);
      out += "\r\n";
    }
    return out;
  }
  bool compact = !long_form && type->short_name_;
  bool joined =
      type->multiplicity_ == HeaderType::ALWAYS || (type->multiplicity_ == HeaderType::ALLOW && !long_form);
  for (const HeaderLine* l = this; l; l = l->Next()) {
    if (l == this || !joined) {
      if (compact)
        out += type->short_name_;
      else
        out += type->name_;
      out += ": ";
    } else {
      out += ", ";
    }
    l->Assemble(out);
    if (!joined || !l->Next()) out += "\r\n";
  }
  return out;
}

bool UnknownHeader::Parse(std::string_view) {
  SipReport("Parse Unknown header as a Specific one\n");
  return false;
}

std::string& UnknownHeader::Assemble(std::string& out) const {
  out += header_;
  out += ": ";
  out += value_;
  return out;
}
