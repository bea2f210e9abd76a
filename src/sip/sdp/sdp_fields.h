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
struct SDP_Connect {
  std::string IpAddr_m;
  std::string AddrType_m = "IP4";
  int TTL_m = 0;
  int Count_m = 0;

  bool empty() const { return IpAddr_m.empty(); }
  void clear() { *this = SDP_Connect(); }
  // value: "<nettype> <addrtype> <address>[/ttl[/count]]". On failure the connection is unchanged.
  bool parse(std::string_view value);
  void assemble(std::string& out) const;
};

// Bandwidth lines by type, written back in ascending type order.
struct SDP_Bandwidth {
  std::map<std::string, std::string, std::less<>> Values_m;

  bool empty() const { return Values_m.empty(); }
  // value: "<type>:<bandwidth>". A repeated type keeps its first value.
  bool parse(std::string_view value);
  void assemble(std::string& out) const;
};

class SDP_Attrs {
 public:
  enum Mode_t { UNSPECIFIED = 0, SENDRECV = 1, RECVONLY = 2, SENDONLY = 3, INACTIVE = 4 };
  using Attrs_t = std::vector<std::pair<std::string, std::string>>;

  Mode_t Mode() const { return Mode_m; }
  void Mode(Mode_t m) { Mode_m = m; }
  // Value of the first attribute with that name; null when there is none. Valid until the list changes.
  const char* Attribute(std::string_view name) const;
  void Attribute(std::string name, std::string value) { Attrs_m.emplace_back(std::move(name), std::move(value)); }
  // Removes the first attribute with that name.
  bool Remove(std::string_view name);
  // Empties the attribute list; the direction is not part of it and stays.
  void Clear() { Attrs_m.clear(); }
  const Attrs_t& Attrs() const { return Attrs_m; }
  Attrs_t& Attrs() { return Attrs_m; }

  // value: "<name>[:<value>]". A second, different direction fails ("SDP Controversy modes specified").
  bool parse(std::string_view value);
  // The direction line first, then the attributes in order.
  void assemble(std::string& out) const;

 private:
  Mode_t Mode_m = UNSPECIFIED;
  Attrs_t Attrs_m;
};
