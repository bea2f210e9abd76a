// Reading of DNS answers to SRV queries from a byte buffer alone (no network, no resolver state), so any
// bytes may be fed to it. No shared state: safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/servers.h"

// Expands the possibly compressed domain name at `pos` of `msg` into dotted text, escaped as the system
// resolver's dn_expand writes it ("\." inside a label, "\DDD" for other bytes); the root name is "".
// `consumed` is the number of bytes the name occupies at `pos` (up to and including its first pointer).
// False for a name or pointer reaching outside `msg`, a pointer loop, an unknown label type or a name
// longer than 255 octets.
bool ExpandDnsName(std::span<const uint8_t> msg, size_t pos, std::string& name, size_t& consumed);

enum class SrvAnswerResult {
  OK,            // every readable record was taken (possibly none)
  BAD_QUESTION,  // the question section could not be skipped
  BAD_OWNER,     // an answer record's owner name could not be read
};

// Appends one ServerRecord per usable SRV record of the answer section, in the order of the answer: s_pref is
// the record's priority, s_weight its weight, s_port its port, s_name its target. A message shorter than its
// header holds no records. Records that do not fit in the message end the reading, keeping those before
// them; records of other types are skipped; targets "." (no service) and port 0 are not candidates. On
// an error the records read before it stay in `out`.
SrvAnswerResult ParseSrvAnswer(std::span<const uint8_t> answer, std::vector<ServerRecord>& out);
