// The line values an SDP shares between its session and its media sections: connection (c=), bandwidth (b=)
// and attributes (a=, with the direction kept apart). Plain values owned by one SDP: one thread at a time.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A connection line. The address type is kept as received ("IP6" stays "IP6"); a connection this system
// fills in with its own IPv4 address carries the default "IP4".
struct SdpConnection {
  std::string address_;
  std::string address_type_ = "IP4";
  int ttl_ = 0;
  int count_ = 0;

  bool empty() const { return address_.empty(); }
  void clear() { *this = SdpConnection(); }
  // value: "<nettype> <addrtype> <address>[/ttl[/count]]". On failure the connection is unchanged.
  bool Parse(std::string_view value);
  void Assemble(std::string& out) const;
};

// Bandwidth lines by type, written back in ascending type order.
struct SdpBandwidth {
  std::map<std::string, std::string, std::less<>> values_;

  bool empty() const { return values_.empty(); }
  // value: "<type>:<bandwidth>". A repeated type keeps its first value.
  bool Parse(std::string_view value);
  void Assemble(std::string& out) const;
};

class SdpAttributes {
 public:
  enum MediaDirection { UNSPECIFIED = 0, SENDRECV = 1, RECVONLY = 2, SENDONLY = 3, INACTIVE = 4 };
  using AttributeList = std::vector<std::pair<std::string, std::string>>;

  MediaDirection Mode() const { return mode_; }
  void Mode(MediaDirection m) { mode_ = m; }
  // Value of the first attribute with that name; null when there is none. Valid until the list changes.
  const char* Attribute(std::string_view name) const;
  void Attribute(std::string name, std::string value) {
    attributes_.emplace_back(std::move(name), std::move(value));
  }
  // Removes the first attribute with that name.
  bool Remove(std::string_view name);
  // Empties the attribute list; the direction is not part of it and stays.
  void Clear() { attributes_.clear(); }
  const AttributeList& Attributes() const { return attributes_; }
  AttributeList& Attributes() { return attributes_; }

  // value: "<name>[:<value>]". A second, different direction fails ("SDP Controversy modes specified").
  bool Parse(std::string_view value);
  // The direction line first, then the attributes in order.
  void Assemble(std::string& out) const;

 private:
  MediaDirection mode_ = UNSPECIFIED;
  AttributeList attributes_;
};
