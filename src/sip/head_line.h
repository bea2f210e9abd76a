// One value of a SIP header (HeaderLine) chained to the further values of the same header, the header
// identifiers, and the raw form kept for headers the relay does not interpret (UnknownHeader).
// Value objects owned by their message: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Header identifiers; the numeric order is the order of headers in assembled text.
struct HeaderIds {
  enum HeadId : uint32_t {
    HID_BLANK = 0,
    HID_VIA,
    HID_ROUTE,
    HID_RECORD_ROUTE,
    HID_FROM,
    HID_TO,
    HID_CONTACT,
    HID_CALL_ID,
    HID_CSEQ,
    HID_EXPIRES,
    HID_MAX_FORWARDS,
    HID_REFER_TO,
    HID_REFERRED_BY,
    HID_CALL_INFO,
    HID_PROXY_AUTHENTICATE,
    HID_WWW_AUTHENTICATE,
    HID_PROXY_AUTHORIZATION,
    HID_AUTHORIZATION,
    HID_SESSION_EXPIRES,
    HID_P_ASSERTED_IDENTITY,
    HID_SUBJECT,
    HID_SUPPORTED,
    HID_REQUIRE,
    HID_EVENT,
    HID_ALLOW_EVENTS,
    HID_USER_AGENT,
    HID_SERVER,
    HID_CONTENT_TYPE,
    HID_CONTENT_LENGTH,
    HID_ACCEPT,
    HID_ACCEPT_ENCODING,
    HID_ACCEPT_LANGUAGE,
    HID_ALERT_INFO,
    HID_ALLOW,
    HID_AUTHENTICATION_INFO,
    HID_CONTENT_DISPOSITION,
    HID_CONTENT_ENCODING,
    HID_CONTENT_LANGUAGE,
    HID_DATE,
    HID_ERROR_INFO,
    HID_IN_REPLY_TO,
    HID_IDENTITY,
    HID_MIN_EXPIRES,
    HID_MIME_VERSION,
    HID_ORGANIZATION,
    HID_PRIORITY,
    HID_PROXY_REQUIRE,
    HID_REPLY_TO,
    HID_RETRY_AFTER,
    HID_TIMESTAMP,
    HID_UNSUPPORTED,
    HID_WARNING,
    HID_LAST
  };
};

class HeaderLine : public HeaderIds {
 public:
  HeaderLine() = default;
  // Copying a line copies its value only; Copy() copies the chain.
  HeaderLine(const HeaderLine&) {}
  HeaderLine& operator=(const HeaderLine&) { return *this; }
  // Releases the rest of the chain without recursion, so long comma lists cannot exhaust the stack.
  virtual ~HeaderLine();

  // A deep copy of this line and the rest of its chain.
  std::unique_ptr<HeaderLine> Copy() const;
  // Fills the line from a header value; false (after reporting) when the value does not parse.
  virtual bool Parse(std::string_view value) = 0;
  // Appends the value text.
  virtual std::string& Assemble(std::string& out) const = 0;

  HeaderLine* Next() const { return next_.get(); }
  // Appends l (a line or a chain) at the end of this chain.
  void Chain(std::unique_ptr<HeaderLine> l);
  HeaderLine* Last();
  std::unique_ptr<HeaderLine> DetachNext() { return std::move(next_); }
  void AttachNext(std::unique_ptr<HeaderLine> l) { next_ = std::move(l); }
  static void Reverse(std::unique_ptr<HeaderLine>& head);

  // Appends the whole chain as header text under id: name, values and line ends. noName is for lines
  // that write their own name (unknown headers).
  std::string& LineAssemble(std::string& out, HeadId id, bool long_form, bool noName) const;

 protected:
  // A copy of this line alone, of its dynamic type.
  virtual std::unique_ptr<HeaderLine> CopyOne() const = 0;

 private:
  std::unique_ptr<HeaderLine> next_;
};

// Gives a header class its CopyOne; Self is the class, Base the class it extends.
template <class Self, class Base>
class CopyableHeader : public Base {
 protected:
  std::unique_ptr<HeaderLine> CopyOne() const override {
    return std::make_unique<Self>(static_cast<const Self&>(*this));
  }
};

// A header the relay does not interpret: its name as received (case kept) and its value.
class UnknownHeader : public CopyableHeader<UnknownHeader, HeaderLine> {
 public:
  UnknownHeader() = default;
  UnknownHeader(std::string_view name, std::string_view value) : header_(name), value_(value) {}

  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;

  const std::string& Header() const { return header_; }
  const std::string& Value() const { return value_; }

  static std::unique_ptr<HeaderLine> Creator() { return std::make_unique<UnknownHeader>("???", "???"); }

 private:
  std::string header_;
  std::string value_;
};
