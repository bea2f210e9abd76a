// The body of a SIP message: the text received (bytes, NULs included) and, once asked for, its parsed SDP,
// which is written back into the text only when it was changed. Value object: one thread at a time.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "sip/sdp/sdp.h"

class SipBody {
 public:
  SipBody() = default;
  // A copy takes the text (regenerated from a changed SDP), never the SDP object.
  SipBody(const SipBody& other) : body_(other.Body()) {}
  SipBody& operator=(const SipBody& other) {
    if (this != &other) {
      body_ = other.Body();
      sdp_.reset();
      failed_.reset();
    }
    return *this;
  }
  SipBody(SipBody&&) noexcept = default;
  SipBody& operator=(SipBody&&) noexcept = default;

  // The text; a changed SDP (or one whose text is empty) is assembled into it first.
  const std::string& Body() const {
    if (sdp_ && (sdp_->IsDirty() || body_.empty())) body_ = sdp_->Assemble(true);
    return body_;
  }
  // Sets the text and forgets the parsed SDP.
  void Body(std::string_view text) {
    body_.assign(text);
    sdp_.reset();
    failed_.reset();
  }
  // The parsed SDP, parsed from the text on first use; null when it does not parse. A partly read SDP
  // stays when keepPartial and it has at least one media description. A text that failed is not parsed
  // again (its faults are reported once).
  Sdp* GetSDP(bool keepPartial = false) {
    if (sdp_) return sdp_.get();
    if (!failed_) {
      auto sdp = std::make_unique<Sdp>();
      if (sdp->Parse(body_)) {
        sdp_ = std::move(sdp);
        return sdp_.get();
      }
      failed_ = std::move(sdp);
    }
    if (keepPartial && !failed_->Medias().empty()) sdp_ = std::move(failed_);
    return sdp_.get();
  }
  // Takes ownership; the text is regenerated from it.
  void SetSDP(std::unique_ptr<Sdp> sdp) {
    body_.clear();
    sdp_ = std::move(sdp);
    failed_.reset();
  }
  bool HasSDP() const { return sdp_ != nullptr; }
  void clear() {
    body_.clear();
    sdp_.reset();
    failed_.reset();
  }
  size_t size() const { return Body().size(); }
  bool empty() const { return Body().empty(); }
  // Takes the rest of the text as the body; always succeeds.
  bool Parse(std::string_view text) {
    Body(text);
    return true;
  }

 protected:
  mutable std::string body_;
  std::unique_ptr<Sdp> sdp_;
  std::unique_ptr<Sdp> failed_;  // the text's SDP when it did not parse
};
