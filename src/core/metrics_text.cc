#include "core/metrics_text.h"

#include <cinttypes>
#include <cstdio>
#include <initializer_list>
#include <utility>

namespace metrics {

namespace {

constexpr const char* kPortNames[kSipPortKinds] = {"external", "second", "internal", "alternate", "events"};
constexpr const char* kSideNames[2] = {"client", "server"};

// Writes families one after the other; a sample's labels are (name, value) pairs, values escaped here.
class Writer {
 public:
  using Labels = std::initializer_list<std::pair<const char*, std::string>>;

  void Family(const char* name, const char* type, const char* help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  void Sample(const std::string& name, Labels labels, uint64_t value) {
    char number[24];
    std::snprintf(number, sizeof number, "%" PRIu64, value);
    Line(name, labels, number);
  }
  void Seconds(const std::string& name, Labels labels, double value) {
    char number[40];
    std::snprintf(number, sizeof number, "%.3f", value);
    Line(name, labels, number);
  }
  // A family of one unlabelled sample.
  void Single(const char* name, const char* type, const char* help, uint64_t value) {
    Family(name, type, help);
    Sample(name, {}, value);
  }
  std::string Take() { return std::move(out_); }

 private:
  void Line(const std::string& name, Labels labels, const char* value) {
    out_ += name;
    if (labels.size() != 0) {
      out_ += '{';
      bool first = true;
      for (const auto& [label, text] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += label;
        out_ += "=\"";
        out_ += EscapeLabel(text);
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
    out_ += value;
    out_ += '\n';
  }

  std::string out_;
};

std::string BucketBound(uint32_t ms) {
  char text[24];
  std::snprintf(text, sizeof text, "%g", ms / 1000.0);
  return text;
}

void Jitter(Writer& w, const std::array<JitterHistogram, 2>& jitter) {
  w.Family(
      "ostrel_media_jitter_seconds", "histogram",
      "Interarrival jitter of an anchored call's audio from each side, observed once at the call's end.");
  for (size_t side = 0; side < 2; ++side) {
    const JitterHistogram& h = jitter[side];
    uint64_t cumulative = 0;
    for (size_t i = 0; i < kJitterBucketsMs.size(); ++i) {
      cumulative += h.buckets[i];
      w.Sample("ostrel_media_jitter_seconds_bucket",
               {{"from", kSideNames[side]}, {"le", BucketBound(kJitterBucketsMs[i])}}, cumulative);
    }
    cumulative += h.buckets.back();
    w.Sample("ostrel_media_jitter_seconds_bucket", {{"from", kSideNames[side]}, {"le", "+Inf"}}, cumulative);
    w.Seconds("ostrel_media_jitter_seconds_sum", {{"from", kSideNames[side]}}, h.sum_ms / 1000.0);
    w.Sample("ostrel_media_jitter_seconds_count", {{"from", kSideNames[side]}}, h.count);
  }
}

void Sip(Writer& w, const Snapshot& s) {
  w.Family("ostrel_sip_datagrams_received_total", "counter",
           "Datagrams read from each SIP port (external: clients, second: the second address's NAT probes, "
           "internal: servers, alternate: NAT probe answers, events: events and HA).");
  for (size_t i = 0; i < kSipPortKinds; ++i)
    w.Sample("ostrel_sip_datagrams_received_total", {{"port", kPortNames[i]}}, s.datagrams[i].first);
  w.Family("ostrel_sip_datagrams_sent_total", "counter", "Datagrams sent from each SIP port.");
  for (size_t i = 0; i < kSipPortKinds; ++i)
    w.Sample("ostrel_sip_datagrams_sent_total", {{"port", kPortNames[i]}}, s.datagrams[i].second);
  w.Family("ostrel_sip_requests_received_total", "counter",
           "SIP requests parsed from clients and servers, by method.");
  for (size_t m = 1; m < SipStartLine::METHOD_COUNT; ++m)
    w.Sample("ostrel_sip_requests_received_total", {{"method", SipStartLine::kMethodNames[m]}},
             s.requests[m]);
  w.Family("ostrel_sip_responses_received_total", "counter",
           "SIP responses parsed from clients and servers, by status class.");
  static const char* const kClasses[kResponseClasses] = {"other", "1xx", "2xx", "3xx", "4xx", "5xx", "6xx"};
  for (size_t c = 0; c < kResponseClasses; ++c)
    w.Sample("ostrel_sip_responses_received_total", {{"class", kClasses[c]}}, s.responses[c]);
  w.Family("ostrel_dialogs", "gauge", "Dialogs in the dialog table, by kind.");
  w.Sample("ostrel_dialogs", {{"kind", "call"}}, s.dialog_calls);
  w.Sample("ostrel_dialogs", {{"kind", "registration"}}, s.dialog_registrations);
  w.Sample("ostrel_dialogs", {{"kind", "other"}}, s.dialog_others);
  w.Single("ostrel_registrations", "gauge", "Registrations the relay holds.", s.registrations);
  w.Single("ostrel_registration_cache_hits_total", "counter",
           "REGISTER requests answered from the registration cache without asking the server.",
           s.register_cache_hits);
}

void Calls(Writer& w, const Snapshot& s) {
  w.Single("ostrel_calls_active", "gauge", "Calls not yet completed.", s.calls_active);
  w.Single("ostrel_calls_anchored", "gauge", "Active calls whose media the relay carries.", s.calls_anchored);
  w.Single("ostrel_calls_zero_media", "gauge", "Active calls in zero-media mode.", s.calls_zero_media);
  w.Single("ostrel_calls_transcoded", "gauge", "Active calls whose audio the relay transcodes.",
           s.calls_transcoded);
  w.Single("ostrel_calls_srtp", "gauge", "Active calls with SRTP toward the client terminated by the relay.",
           s.calls_srtp);
  w.Single("ostrel_calls_started_total", "counter", "INVITEs that opened a call.", s.calls_started);
  w.Single("ostrel_calls_answered_total", "counter", "Calls established (answered and acknowledged).",
           s.calls_answered);
  w.Single("ostrel_calls_completed_total", "counter", "Established calls ended by a BYE.", s.calls_completed);
  w.Family("ostrel_calls_failed_total", "counter", "Calls that ended before being established, by cause.");
  w.Sample("ostrel_calls_failed_total", {{"cause", "timeout"}}, s.calls_timeout);
  w.Sample("ostrel_calls_failed_total", {{"cause", "cancelled"}}, s.calls_cancelled);
  w.Sample("ostrel_calls_failed_total", {{"cause", "rejected"}}, s.calls_rejected);
}

void Media(Writer& w, const Snapshot& s) {
  w.Family("ostrel_media_packets_total", "counter",
           "RTP and RTCP packets of anchored calls accepted from each side for relaying.");
  for (size_t i = 0; i < 2; ++i)
    w.Sample("ostrel_media_packets_total", {{"from", kSideNames[i]}}, s.media_packets[i]);
  w.Family("ostrel_media_bytes_total", "counter", "Bytes of the packets in ostrel_media_packets_total.");
  for (size_t i = 0; i < 2; ++i)
    w.Sample("ostrel_media_bytes_total", {{"from", kSideNames[i]}}, s.media_bytes[i]);
  w.Family(
      "ostrel_media_packets_lost_total", "counter",
      "RTP packets of an anchored call's audio from each side that never came, added at the call's end.");
  for (size_t i = 0; i < 2; ++i)
    w.Sample("ostrel_media_packets_lost_total", {{"from", kSideNames[i]}}, s.media_lost[i]);
  w.Family("ostrel_media_packets_reordered_total", "counter",
           "RTP packets of an anchored call's audio from each side that came out of order, added at the "
           "call's end.");
  for (size_t i = 0; i < 2; ++i)
    w.Sample("ostrel_media_packets_reordered_total", {{"from", kSideNames[i]}}, s.media_reordered[i]);
  Jitter(w, s.jitter);
  w.Family("ostrel_media_port_pairs_open", "gauge", "RTP/RTCP port pairs open, on each side's address.");
  for (size_t i = 0; i < 2; ++i)
    w.Sample("ostrel_media_port_pairs_open", {{"side", kSideNames[i]}}, s.port_pairs_open[i]);
  w.Family("ostrel_media_port_pairs_free", "gauge",
           "Port pairs of the configured range not open by the relay, on each side's address.");
  for (size_t i = 0; i < 2; ++i) {
    const uint64_t open = s.port_pairs_open[i];
    w.Sample("ostrel_media_port_pairs_free", {{"side", kSideNames[i]}},
             s.port_pairs_range > open ? s.port_pairs_range - open : 0);
  }
}

void Process(Writer& w, const Snapshot& s) {
  w.Single("ostrel_work_queue_length", "gauge", "Messages waiting in the work queue.", s.queue_length);
  w.Single("ostrel_work_queue_workers", "gauge", "Worker threads of the work queue.", s.queue_workers);
  w.Single("ostrel_work_queue_dropped_total", "counter", "Messages refused because the work queue was full.",
           s.queue_dropped);
  w.Single("ostrel_dos_sources_blocked", "gauge",
           "Blocks (of an address and port, or a whole address) in force.", s.dos_blocked);
  w.Single("ostrel_dos_blocks_total", "counter", "Blocks set by the flood protection.", s.dos_blocks);
  w.Single("ostrel_dos_shield_active", "gauge", "1 while the DDOS shield is up.", s.dos_shield);
  w.Single("ostrel_firewall_commands_total", "counter", "System firewall commands started.", s.firewall_run);
  w.Single("ostrel_firewall_commands_failed_total", "counter",
           "System firewall commands that could not start or ended with a failure.", s.firewall_failed);
  w.Family("ostrel_ha_role", "gauge", "1 for this node's HA role (alone: no peer configured).");
  w.Sample("ostrel_ha_role", {{"role", "alone"}}, s.ha_role == HaRole::ALONE ? 1 : 0);
  w.Sample("ostrel_ha_role", {{"role", "master"}}, s.ha_role == HaRole::MASTER ? 1 : 0);
  w.Sample("ostrel_ha_role", {{"role", "slave"}}, s.ha_role == HaRole::SLAVE ? 1 : 0);
  w.Single("ostrel_ha_records_sent_total", "counter", "HA records sent to the peer.", s.ha_sent);
  w.Single("ostrel_ha_records_received_total", "counter", "HA records from the peer accepted and applied.",
           s.ha_received);
  w.Single("ostrel_ha_records_unsent_total", "counter", "HA records that could not be sent.", s.ha_unsent);
  w.Family("ostrel_ha_records_refused_total", "counter", "Datagrams on the HA port refused, by reason.");
  w.Sample("ostrel_ha_records_refused_total", {{"reason", "forged"}}, s.ha_forged);
  w.Sample("ostrel_ha_records_refused_total", {{"reason", "replayed"}}, s.ha_replayed);
  w.Sample("ostrel_ha_records_refused_total", {{"reason", "foreign"}}, s.ha_foreign);
  w.Family("ostrel_config_rereads_total", "counter",
           "Re-reads of a changed configuration file: taken, or refused for a faulty line.");
  w.Sample("ostrel_config_rereads_total", {{"result", "taken"}}, s.rereads_taken);
  w.Sample("ostrel_config_rereads_total", {{"result", "refused"}}, s.rereads_refused);
}

}  // namespace

std::string EscapeLabel(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Text(const Snapshot& s) {
  Writer w;
  w.Family("ostrel_build_info", "gauge", "Always 1; the version of the running daemon in its label.");
  w.Sample("ostrel_build_info", {{"version", s.version}}, 1);
  w.Family("process_start_time_seconds", "gauge", "Start time of the process since the epoch, in seconds.");
  w.Seconds("process_start_time_seconds", {}, s.start_time);
  Sip(w, s);
  Calls(w, s);
  Media(w, s);
  Process(w, s);
  return w.Take();
}

}  // namespace metrics
