// Feeds arbitrary bytes to the SDP parser: nothing may crash or read out of bounds, a description that
// parsed parses again after assembly, and a text once written by the assembler comes back byte for byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "foundation/log.h"
#include "sip/sdp/sdp.h"

namespace {

void Quiet(const char*, ...) {}

void Check(bool ok) {
  if (!ok) std::abort();
}

// The read-only queries the call code makes, over every section.
void Query(const Sdp& sdp) {
  (void)sdp.GetAddress();
  for (const auto& m : sdp.Medias()) {
    (void)m->IsHold();
    (void)m->Address();
    (void)m->ConnectionAddress();
    (void)m->GetAttribute("crypto");
    if (const SdpRtpMedia* rtp = m->AsRTP())
      for (size_t i = 0; i <= rtp->NCodecs(); ++i) (void)rtp->CodecName(i), (void)rtp->CodecParam(i);
  }
}

// The edits the relay makes; the result must still be a description the parser accepts.
void Edit(const Sdp& parsed) {
  Sdp sdp(parsed);
  sdp.Expand();
  for (const auto& m : sdp.Medias())
    if (SdpRtpMedia* rtp = m->AsRTP()) rtp->Brief();
  sdp.SetAddress("192.0.2.1", false);
  sdp.MarkDirty();
  Sdp again;
  Check(again.Parse(sdp.Assemble(true)) == !sdp.Medias().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_parse_error_log = &Quiet;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Sdp first;
  const bool ok = first.Parse(text);
  Query(first);
  const std::string written = first.Assemble(true);
  if (!ok) return 0;

  Sdp second;
  Check(second.Parse(written));
  Check(!second.IsDirty());
  Check(second.Assemble(true) == written);
  Edit(first);
  return 0;
}
