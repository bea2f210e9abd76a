// Digest authentication headers: challenges (Proxy-Authenticate, WWW-Authenticate) and credentials
// (Proxy-Authorization, Authorization). Value objects: one thread at a time; the parameter table is
// built before main and only read afterwards.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "sip/head_line.h"

class AuthParamHeader : public HeaderLine {
 public:
  enum ValueType { QUOTED = 0, TOKEN = 1, DEPENDENT = 2, BOOLEAN = 3, COUNTER = 4 };
  struct AuthParam {
    const char* name;
    ValueType type;
  };
  static constexpr int kParamCount = 12;
  // The digest parameters by index; entries are written in this order.
  static const AuthParam kAuthParams[kParamCount];
  static const std::map<std::string, int, std::less<>> param2id;

  bool Parse(std::string_view value) override;
  std::string& Assemble(std::string& out) const override;
  // 0 for challenges (qop written quoted), 1 for credentials (qop written as a token).
  virtual int DependentType() const = 0;

  const char* Value(std::string_view name) const;
  char Stale() const { return stale_; }
  uint32_t NC() const { return nonce_count_; }

 protected:
  std::map<int, std::string> values_;
  char stale_ = 0;
  uint32_t nonce_count_ = 0;
};

class ProxyAuthenticateHeader : public CopyableHeader<ProxyAuthenticateHeader, AuthParamHeader> {
 public:
  int DependentType() const override { return 0; }
};
class WwwAuthenticateHeader : public CopyableHeader<WwwAuthenticateHeader, ProxyAuthenticateHeader> {};

class ProxyAuthorizationHeader : public CopyableHeader<ProxyAuthorizationHeader, AuthParamHeader> {
 public:
  int DependentType() const override { return 1; }
};
class AuthorizationHeader : public CopyableHeader<AuthorizationHeader, ProxyAuthorizationHeader> {};
