#include "ports/sip_port.h"

#include <strings.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "foundation/log.h"
#include "foundation/log_gate.h"
#include "sip/headers/route.h"
#include "sip/headers/string.h"
#include "sip/sdp/sdp_media_rtp.h"
#include "sip/message.h"

ExtPort_t ExtPort;
IntPort_t IntPort;
AltPort_t AltPort;

namespace {

// Headers that cost bytes and nothing a phone needs.
constexpr const char* kDroppedWhenLarge[] = {"Data",    "X-Reference",  "X-Peer",       "X-Attest",
                                             "Allow",   "Subject",      "Allow-Events", "P-Preferred-Identity"};

void drop_display_names(SIP& msg, SIP_Header::HeadId id) {
  for (SIP_HeadLine* line = msg.Header(id); line != nullptr; line = line->Next()) {
    if (auto* na = dynamic_cast<SIP_Name_Addr*>(line)) na->FullName("");
  }
}

// The first two RTP descriptions of an SDP body keep only what a phone needs to answer.
void shrink_sdp(SIP& msg) {
  auto* type = msg.Header<SIP_Head_Content_Type>(SIP_Header::HID_Content_Type);
  if (type == nullptr || strcasecmp(type->Value().c_str(), "application/sdp") != 0) return;
  SDP* sdp = msg.GetSDP();
  if (sdp == nullptr) return;
  size_t n = 0;
  for (const auto& media : sdp->Medias()) {
    if (n++ == 2) break;
    if (SDP_Media_RTP* rtp = media->AsRTP()) rtp->brief();
  }
  sdp->dirty();
}

void shrink(SIP& msg) {
  for (const char* name : kDroppedWhenLarge) msg.remove(std::string_view(name));
  msg.remove(SIP_Header::HID_User_Agent);
  msg.remove(SIP_Header::HID_Server);
  msg.remove(SIP_Header::HID_Allow_Events);
  msg.parse(SIP_Header::HID_Supported);
  msg.parse(SIP_Header::HID_Session_Expires);
  msg.parse(SIP_Header::HID_Event);
  msg.parse(SIP_Header::HID_Referred_By);
  drop_display_names(msg, SIP_Header::HID_To);
  drop_display_names(msg, SIP_Header::HID_Referred_By);
  drop_display_names(msg, SIP_Header::HID_Contact);
  shrink_sdp(msg);
}

std::string first_line(const std::string& text) {
  size_t end = text.find_first_of("\r\n");
  return text.substr(0, end);
}

}  // namespace

int SIPPort_t::send(SIP& msg, const InetAddr& to, int threshold, int level) const {
  std::string text = msg.assemble(true);
  if (text.size() > kShrinkAbove && shrinks()) {
    shrink(msg);
    text = msg.assemble(false);
  }
  // The dumps are off in normal running: their address text and first-line copy are built only when wanted.
  const bool full = LogWanted(level | LOG_FULL, threshold);
  const bool brief = LogWanted(level | LOG_SHORT, threshold);
  if (full || brief) {
    const std::string dest = to.Str();
    if (full) Log("", level | LOG_FULL, threshold, "--%c--> %s\n%s\n", spec(), dest.c_str(), text.c_str());
    if (brief)
      Log("", level | LOG_SHORT, threshold, "--%c--> %s\n%s\n", spec(), dest.c_str(), first_line(text).c_str());
  }
  return static_cast<int>(sendto(text.data(), text.size(), to, 0));
}

bool ExtPort_t::read_one(char* buf, Datagram& d) {
  iovec iov{buf, kMaxDatagram};
  msghdr mh{};
  mh.msg_name = d.from.sa();
  mh.msg_namelen = sizeof(sockaddr_in);
  mh.msg_iov = &iov;
  mh.msg_iovlen = 1;
  ssize_t n = recvmsg(get_handle(), &mh, 0);
  if (n <= 0) return false;
  if (mh.msg_flags & MSG_TRUNC) {
    // A cut message would be relayed as if whole: drop it.
    Log("ostrel", LOG_ERROR, "Datagram from %s longer than %zu bytes dropped\n", d.from.Str().c_str(), kMaxDatagram);
    return false;
  }
  buf[n] = '\0';
  d.data = buf;
  d.len = static_cast<size_t>(n);
  return true;
}

void ExtPort_t::input_cb(int fd) {
  char buf[kMaxDatagram + 1];
  do {
    Datagram d{nullptr, 0, InetAddr()};
    if (!read_one(buf, d)) {
      if (fd != 0 || stop_m.load(std::memory_order_acquire) || get_handle() < 0) return;
      if (errno == EBADF) return;
      continue;
    }
    if (handler_m) handler_m(d);
  } while (fd == 0 && !stop_m.load(std::memory_order_acquire));
}

void ExtPort_t::timer_cb(const void* data) {
  if (timer_handler_m) timer_handler_m(data);
}

void* ExtPort_t::ReadLoop(void* port) {
  auto* p = static_cast<ExtPort_t*>(port);
  prctl(PR_SET_NAME, p->thread_name_m);
  Log("ostrel", LOG_ALWAYS, "%s", p->banner_m);
  p->input_cb(0);
  return nullptr;
}

int ExtPort_t::StartReaders(unsigned n, const char* name, const char* banner) {
  thread_name_m = name;
  banner_m = banner;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 0x80000);
  int rc = 0;
  for (unsigned i = 0; i < n && rc == 0; ++i) {
    pthread_t t;
    rc = pthread_create(&t, &attr, &ExtPort_t::ReadLoop, this);
    if (rc == 0) readers_m.push_back(t);
  }
  pthread_attr_destroy(&attr);
  return rc;
}

void ExtPort_t::StopReaders() {
  stop_m.store(true, std::memory_order_release);
  shutdown_reads();
  for (pthread_t t : readers_m) pthread_join(t, nullptr);
  readers_m.clear();
}
