// The start line and header section of a SIP message: header chains keyed by identifier (registered
// headers in HeadId order, then unknown headers in order of arrival), their editing operations, the
// header-section parser and assembler, and the next-hop and route-set operations.
// A SipHeaders belongs to one thread at a time; it has no internal locking.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "sip/head_line.h"
#include "sip/start_line.h"

class SipHeaders : public SipStartLine, public HeaderIds {
 public:
  // Key 1..51: values of a registered header; from HID_LAST up: one unknown header each.
  using HeaderMap = std::map<int, std::unique_ptr<HeaderLine>>;

  SipHeaders() = default;
  SipHeaders(const SipHeaders& other);
  SipHeaders& operator=(const SipHeaders& other);
  SipHeaders(SipHeaders&&) noexcept = default;
  SipHeaders& operator=(SipHeaders&&) noexcept = default;
  ~SipHeaders() = default;

  // Head of the chain, null when absent.
  HeaderLine* Header(HeadId id) const;
  template <class T>
  T* Header(HeadId id) const {
    return dynamic_cast<T*>(Header(id));
  }
  // Value of the first unknown header of that name (any case), null when none.
  const char* Header(std::string_view name) const;
  // Appends an unknown header.
  void Header(const std::string& name, const std::string& value);

  // Replaces the whole chain with the given line (or chain).
  void Set(HeadId id, std::unique_ptr<HeaderLine> line);
  // Parses one value (no comma splitting) and sets it; false and no change when it does not parse.
  bool Set(HeadId id, std::string_view value);
  void push_back(HeadId id, std::unique_ptr<HeaderLine> line);
  void push_front(HeadId id, std::unique_ptr<HeaderLine> line);
  bool push_back(HeadId id, std::string_view value);
  bool push_front(HeadId id, std::string_view value);
  // Parses a value list, split at commas where the header allows it, and appends every value; on
  // failure nothing is appended.
  bool LineSet(HeadId id, std::string_view value);

  void Remove(HeadId id);
  // Removes every unknown header of that name (any case).
  void Remove(std::string_view name);
  // Removes Supported and every unknown header.
  void restrict();

  std::unique_ptr<HeaderLine> pop_front(HeadId id);
  std::unique_ptr<HeaderLine> pop_back(HeadId id);
  // n = 0 is pop_front; otherwise the value at 0-based position n, empty when the chain is shorter.
  std::unique_ptr<HeaderLine> pop(HeadId id, size_t n);
  void Reverse(HeadId id);

  // Converts the unknown headers of that registered name into typed values; a line that fails to
  // parse stays an unknown header, byte for byte. Returns the number of lines converted.
  size_t Parse(HeadId id);

  // Parses the start line and headers and leaves text (or p) at the body. The const char* form reads up
  // to the terminating NUL.
  bool Parse(std::string_view& text, bool noRequiredCheck);
  bool Parse(const char*& p, bool noRequiredCheck);
  // Appends start line and headers, without the empty line.
  std::string& Assemble(std::string& out, bool long_form) const;

  // Next hop: host:port text of where the message goes; empty when it cannot be formed.
  std::string Address() const;
  // Exchanges the From and To values when both exist.
  void SwapFromTo();
  // Request-URI and Route set for a request to the remote party of the dialog src established.
  void RouteSetFrom(const SipHeaders& src, bool srcIsRequest);

  int NextId() { return max_head_id_++; }
  const HeaderMap& Heads() const { return heads_; }

  static const HeadId kRequestHeaders[5];

 protected:
  struct ParseNotes {
    bool has_content_length = false;
    std::string content_length;
  };
  bool ParseSection(std::string_view& text, bool noRequiredCheck, ParseNotes* notes);
  bool ParseHeaderLine(std::string_view line, ParseNotes* notes);
  bool CheckSection(bool noRequiredCheck) const;
  // Parses value into a new chain (split at commas when the header allows it).
  static bool ParseValues(HeadId id, std::string_view value, std::unique_ptr<HeaderLine>& chain);
  // Appends start line and headers; Content-Length, when given, is written in place of the stored one.
  std::string& AssembleHeads(std::string& out, bool long_form, const size_t* contentLength) const;
  void Cleanup() { heads_.clear(); }

  int max_head_id_ = HID_LAST;
  HeaderMap heads_;
};
