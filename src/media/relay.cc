#include "media/relay.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dos/dos_core.h"
#include "foundation/log.h"
#include "foundation/reactor.h"
#include "media/client_guard.h"
#include "media/foreign_tally.h"
#include "media/rtcp_text.h"
#include "media/rtp_header.h"
#include "media/transcoder.h"

namespace {

struct StreamInfo {
  const char* label;
  RelayEvent event;
};

// Socket i is pair i / 2 (client audio, server audio, client video, server video); odd sockets are RTCP.
// Packets go out through the pair of the other side: pair (i / 2) ^ 1.
constexpr StreamInfo kStreams[8] = {
    {"CLN Audio Stream", E_CLN_AUDIO}, {"CLN Audio RTCP  ", E_NOP},       {"SRV Audio Stream", E_SRV_AUDIO},
    {"SRV Audio RTCP  ", E_NOP},       {"CLN Video Stream", E_CLN_VIDEO}, {"CLN Video RTCP  ", E_NOP},
    {"SRV Video Stream", E_SRV_VIDEO}, {"SRV Video RTCP  ", E_NOP},
};

bool IsRtcp(int index) { return (index & 1) != 0; }

}  // namespace

void RelayObserver::ForeignPackets(const InetAddress& src, unsigned count, unsigned uniq) {
  g_dos.Report(src, DosCore::DOS_R, uniq, count);
}

// A call's packet handler on its media thread: last sources, the client guard and the foreign tally.
class RelaySession : public MediaSession {
 public:
  explicit RelaySession(MediaRelay& relay);

  void OnAttach(MediaLoop& loop) override;
  void OnPacket(MediaLoop& loop, int slot, uint8_t* pkt, size_t len, const InetAddress& src,
                uint64_t now_us) override;
  void OnTimer(MediaLoop& loop, uint64_t now_ms) override;
  void OnDetach(MediaLoop& loop) override;
  unsigned Number() const override { return relay_.number_; }

 private:
  class Sink;
  bool LogOn(int level) const;
  RtpPort& Pair(int index) const { return *relay_.pairs_[index / 2]; }
  RtpPort& Opposite(int index) const { return *relay_.pairs_[(index / 2) ^ 1]; }
  // false: the packet is dropped; len may change (SRTP).
  bool Accept(int index, uint8_t* pkt, int& len, bool& rtcp, const InetAddress& src, uint64_t now);
  bool FromServer(int index, const InetAddress& src);
  bool FromClient(int index, uint8_t* pkt, int& len, bool& rtcp, const InetAddress& src, uint64_t now);
  // Transforms the packet for the opposite side; false when it is not to be sent.
  bool Prepare(int index, uint8_t* pkt, int& len, bool rtcp);
  void Send(MediaLoop& loop, int index, const uint8_t* pkt, size_t len);
  // The audio of a transcoded call: converted, or buffered until the flush time.
  void Transcode(MediaLoop& loop, int index, uint8_t* pkt, size_t len, uint64_t now);
  // The session's one timer serves the foreign tally and the transcoder's flush: the earlier of the two.
  void ArmTimer(MediaLoop& loop, uint64_t now);
  void Track(int index, const uint8_t* pkt, int len, const InetAddress& src);
  void FlushForeign(uint64_t now, bool force);

  MediaRelay& relay_;
  const int uniq_;
  const int threshold_;
  ClientGuard guard_;
  ForeignTally tally_;
  int socket_count_;
  InetAddress last_src_[8];
  uint32_t last_ssrc_[8] = {};
  // A packet from the client has confirmed the destination of the client pair (audio, video).
  bool client_confirmed_[2] = {false, false};
  uint64_t timer_due_ = 0;
  std::unique_ptr<Transcoder> transcoder_;  // transcoded calls only
};

// Where a transcoder's output goes: copied to a buffer of its own (SRTP may grow it in place) and sent like
// a relayed packet of the stream `index` stands for.
class RelaySession::Sink : public PacketSink {
 public:
  Sink(RelaySession& session, MediaLoop& loop, int index) : session_(session), loop_(loop), index_(index) {}
  void Deliver(const uint8_t* pkt, size_t len) override {
    if (len > rtp::kMaxReceive) return;
    std::memcpy(buffer_, pkt, len);
    int size = static_cast<int>(len);
    if (session_.Prepare(index_, buffer_, size, false))
      session_.Send(loop_, index_, buffer_, static_cast<size_t>(size));
  }

 private:
  RelaySession& session_;
  MediaLoop& loop_;
  int index_;
  uint8_t buffer_[rtp::kPacketBuffer];
};

RelaySession::RelaySession(MediaRelay& relay)
    : relay_(relay),
      uniq_(static_cast<int>(relay.number_)),
      threshold_(relay.setup_.log_threshold),
      guard_(relay.setup_.orig_ip) {
  const bool video =
      relay.setup_.video && relay.pairs_[2]->GetHandle() >= 0 && relay.pairs_[3]->GetHandle() >= 0;
  socket_count_ = video ? 8 : 4;
  if (relay.setup_.transcode) {
    transcoder_ = Transcoder::Make(relay.setup_.transcode_from, relay.setup_.client_payload);
    socket_count_ = 4;
  }
}

void RelaySession::OnAttach(MediaLoop& loop) {
  for (int i = 0; i < socket_count_; ++i) {
    const int fd = IsRtcp(i) ? Pair(i).GetRtcpHandle() : Pair(i).GetHandle();
    // A socket that cannot be watched is a closed one (-1); its stream is simply not relayed.
    if (fd >= 0 && !loop.Watch(fd, i))
      Log(uniq_, LEVEL_ERROR, threshold_, "Error: RTP Relay cannot watch socket %d: %s\n", fd,
          std::strerror(errno));
  }
}

void RelaySession::OnDetach(MediaLoop&) { FlushForeign(PollReactor::NowMs(), true); }

void RelaySession::OnTimer(MediaLoop& loop, uint64_t now_ms) {
  timer_due_ = 0;
  FlushForeign(now_ms, false);
  if (transcoder_ && transcoder_->FlushDue() != 0 && transcoder_->FlushDue() <= now_ms) {
    Sink to_client(*this, loop, 2);
    transcoder_->Flush(to_client);
  }
  ArmTimer(loop, now_ms);
}

bool RelaySession::LogOn(int level) const {
  const int mask = threshold_ != 0 ? threshold_ : g_log_block.level.load(std::memory_order_relaxed);
  return (level & mask) == level;
}

void RelaySession::OnPacket(MediaLoop& loop, int index, uint8_t* pkt, size_t size, const InetAddress& src,
                            uint64_t now_us) {
  const uint64_t now = now_us / 1000;
  int len = static_cast<int>(size);
  bool rtcp = IsRtcp(index);
  if (!Accept(index, pkt, len, rtcp, src, now)) {
    ArmTimer(loop, now);
    return;
  }
  loop.CountAccepted((index / 2) % 2 == 0, size);
  if (index == 0 || index == 2) {
    StreamQuality& quality = index == 0 ? relay_.client_quality_ : relay_.server_quality_;
    if (!rtcp) quality.Count(pkt, static_cast<size_t>(len), now_us);
  }
  Track(index, pkt, len, src);
  if (transcoder_ && !rtcp && index < 4) return Transcode(loop, index, pkt, static_cast<size_t>(len), now);
  if (!Prepare(index, pkt, len, rtcp)) return;
  Send(loop, index, pkt, static_cast<size_t>(len));
}

void RelaySession::Transcode(MediaLoop& loop, int index, uint8_t* pkt, size_t len, uint64_t now) {
  Sink out(*this, loop, index);
  if (index == 0) {
    transcoder_->FromClient(pkt, len, out);
  } else {
    transcoder_->FromServer(pkt, len, now, out);
    ArmTimer(loop, now);
  }
}

void RelaySession::ArmTimer(MediaLoop& loop, uint64_t now) {
  uint64_t due = 0;
  if (!tally_.empty()) {
    const int in = tally_.DueIn(now);
    if (in >= 0) due = now + static_cast<uint64_t>(in == 0 ? 1 : in);
  }
  if (transcoder_) {
    const uint64_t flush = transcoder_->FlushDue();
    if (flush != 0 && (due == 0 || flush < due)) due = flush;
  }
  if (due == timer_due_) return;
  loop.SetTimer(due);
  timer_due_ = due;
}

bool RelaySession::Accept(int index, uint8_t* pkt, int& len, bool& rtcp, const InetAddress& src,
                          uint64_t now) {
  const bool from_client = (index / 2) % 2 == 0;
  return from_client ? FromClient(index, pkt, len, rtcp, src, now) : FromServer(index, src);
}

// A non-symmetric server sends from the address of its SDP, from the port it gave once the dialog stands;
// nothing else is relayed toward the client (a stranger could otherwise bounce packets off the relay). A
// symmetric server is followed wherever its packets come from.
bool RelaySession::FromServer(int index, const InetAddress& src) {
  RtpPort& in = Pair(index);
  const InetAddress known = IsRtcp(index) ? in.RtcpDestination() : in.RtpDestination();
  if (!relay_.setup_.symmetric) {
    if (known.Ip() == 0 || src.Ip() != known.Ip()) return false;
    if (src != known && relay_.established_.load(std::memory_order_acquire)) return false;
  }
  relay_.server_ticks_.fetch_add(1, std::memory_order_relaxed);
  if (relay_.setup_.symmetric) IsRtcp(index) ? in.RtcpDestination(src) : in.RtpDestination(src);
  return true;
}

bool RelaySession::FromClient(int index, uint8_t* pkt, int& len, bool& rtcp, const InetAddress& src,
                              uint64_t now) {
  RtpPort& in = Pair(index);
  const uint32_t src_ip = src.Ip();
  ClientGuard::Verdict verdict = ClientGuard::ACCEPT;
  if (!relay_.setup_.accept_any) {
    const uint32_t cur_ip = (IsRtcp(index) ? in.RtcpDestination() : in.RtpDestination()).Ip();
    verdict = guard_.Check(src_ip, cur_ip, index == 0, pkt, static_cast<size_t>(len), now);
    if (verdict != ClientGuard::ACCEPT) {
      tally_.Count(src, now);
      if (verdict == ClientGuard::FOREIGN) return false;
    }
  }
  // Nothing is learned from a packet that does not authenticate: anyone can forge an SRTP header.
  SrtpHook* srtp = static_cast<ClientRtpPort&>(in).Srtp();
  if (srtp != nullptr && relay_.srtp_.load(std::memory_order_acquire)) {
    srtp->RTPDecrypt(pkt, len, rtcp);
    if (len <= 0) return false;
  }
  if (verdict != ClientGuard::ACCEPT)
    Log(uniq_, LEVEL_DEBUG, threshold_, "Switch to Another RTP Stream from: %s\n", src.Text().c_str());
  if (guard_.Accepted(src_ip, index == 0, pkt, static_cast<size_t>(len), now)) {
    Log(uniq_, LEVEL_DEBUG, threshold_, "Restore Original RTP Stream from: %s\n", src.Text().c_str());
  }
  relay_.client_ticks_.fetch_add(1, std::memory_order_relaxed);
  IsRtcp(index) ? in.RtcpDestination(src) : in.RtpDestination(src);
  client_confirmed_[index / 4] = true;
  return true;
}

bool RelaySession::Prepare(int index, uint8_t* pkt, int& len, bool rtcp) {
  if (rtcp && LogOn(LEVEL_DEBUG)) {
    Log(uniq_, LEVEL_DEBUG, threshold_, "Got %s%s\n", kStreams[index].label,
        DescribeRTCP(pkt, static_cast<size_t>(len)).c_str());
  }
  RtpPort& out = Opposite(index);
  if (out.ClientSide() && relay_.srtp_.load(std::memory_order_acquire)) {
    if (SrtpHook* srtp = static_cast<ClientRtpPort&>(out).Srtp()) srtp->RTPEncrypt(pkt, len, rtcp);
  }
  return len > 0;
}

// Toward the client, only an address a packet of the client confirmed, or its signalling address: an
// INVITE naming somebody else's address must not turn the relay into a reflector.
void RelaySession::Send(MediaLoop& loop, int index, const uint8_t* pkt, size_t len) {
  RtpPort& out = Opposite(index);
  const bool rtcp = IsRtcp(index);
  const InetAddress to = rtcp ? out.RtcpDestination() : out.RtpDestination();
  if (to.Port() == 0) return;  // nowhere to send yet
  if (out.ClientSide() && !client_confirmed_[index / 4] && to.Ip() != relay_.setup_.signalling_ip) return;
  const int fd = rtcp ? out.GetRtcpHandle() : out.GetHandle();
  if (fd >= 0) loop.Send(fd, pkt, len, to);
}

void RelaySession::Track(int index, const uint8_t* pkt, int len, const InetAddress& src) {
  const bool rtcp = IsRtcp(index);
  const uint32_t ssrc = rtcp ? 0 : rtp::Ssrc(pkt, static_cast<size_t>(len));
  if (src == last_src_[index] && ssrc == last_ssrc_[index]) return;
  last_src_[index] = src;
  last_ssrc_[index] = ssrc;
  char ssrc_text[24] = "";
  const char* label = kStreams[index].label;
  if (transcoder_ && !rtcp) {
    label = index == 0 ? transcoder_->ClientLabel() : transcoder_->ServerLabel();
  } else if (!rtcp) {
    std::snprintf(ssrc_text, sizeof ssrc_text, " SSRC:0x%X", ssrc);
  }
  const std::string text = src.Text();
  Log(uniq_, LEVEL_DEBUG, threshold_, "Got %s%s from: %s\n", label, ssrc_text, text.c_str());
  if (relay_.observer_ != nullptr) relay_.observer_->StreamSeen(kStreams[index].event, text);
}

void RelaySession::FlushForeign(uint64_t now, bool force) {
  RelayObserver* obs = relay_.observer_;
  const unsigned uniq = relay_.number_;
  const unsigned others = tally_.Flush(
      now,
      [obs, uniq](const InetAddress& src, unsigned count) {
        if (obs != nullptr) {
          obs->ForeignPackets(src, count, uniq);
        } else {
          g_dos.Report(src, DosCore::DOS_R, uniq, count);
        }
      },
      force);
  if (others != 0)
    Log(uniq_, LEVEL_DEBUG, threshold_, "Foreign RTP from too many sources: %u packets\n", others);
}

MediaRelay::MediaRelay(ClientRtpPort& cln_rtp, ServerRtpPort& srv_rtp, ClientRtpPort& cln_video,
                       ServerRtpPort& srv_video)
    : pairs_{&cln_rtp, &srv_rtp, &cln_video, &srv_video}, number_(cln_rtp.Number()) {}

bool MediaRelay::Start(const RelaySetup& setup, RelayObserver* observer) {
  if (Running() || pairs_[0]->GetHandle() < 0 || pairs_[1]->GetHandle() < 0) return false;
  setup_ = setup;
  observer_ = observer;
  handle_ = MediaEngine::Instance().Attach(std::make_unique<RelaySession>(*this));
  if (!handle_) return false;
  started_once_ = true;
  // The call's media lines name the media thread that serves it, as they named its own thread before.
  Log(static_cast<int>(number_), LEVEL_DEBUG, setup_.log_threshold, "Start Thread: %lu (%lu)\n",
      handle_.loop->ThreadId(), handle_.loop->KernelId());
  return true;
}

void MediaRelay::Stop() {
  if (!Running()) return;
  handle_.loop->Detach(handle_.id);
  const unsigned long id = handle_.loop->ThreadId();
  handle_ = {};
  Log(static_cast<int>(number_), LEVEL_DEBUG, setup_.log_threshold, "Terminating thread: %lu\n", id);
}

int MediaRelay::ThreadIndex() const { return handle_ ? handle_.loop->Index() : -1; }
