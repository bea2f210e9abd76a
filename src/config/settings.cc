// What a read starts from, and what a re-read may change in the configuration in force.
#include "config/settings.h"

void Settings::StartRead() {
  rsvps.clear();
  subnets.clear();
  domains.clear();
  subscribe_events.clear();
  broken.clear();
  full_users.clear();
  trusted_sources.clear();
  transcoding_rules.clear();
  servers.clear();
  restrict_forward.clear();
  dos_whitelist.clear();
  metrics.reset();  // a line removed at a re-read shows as a change
  // bare_codecs and bare_params stay: only a `bare_sdp` line replaces them.
  statlog_set = false;
  doscfg_changed = false;
  log_level_ = -1;
  log_limit_.clear();
  slow_start_seen_ = false;
  app_name_seen_ = false;
}

// One line per re-readable keyword of the table; a keyword applied only at the first read has no
// line here, so a changed address, port or file name waits for a restart.
void Settings::TakeRereadable(Settings&& read) {
  domains = std::move(read.domains);                    // domain
  servers = std::move(read.servers);                    // server
  full_users = std::move(read.full_users);              // fuser
  trusted_sources = std::move(read.trusted_sources);    // trusted
  broken = std::move(read.broken);                      // broken
  restrict_forward = std::move(read.restrict_forward);  // restrict_forward
  slow_start = read.slow_start;                         // slow_start
  log_file = std::move(read.log_file);                  // log
  app_master = std::move(read.app_master);              // log_name
  app_slave = std::move(read.app_slave);
  stat_log = std::move(read.stat_log);  // stat_log
  statlog_set = read.statlog_set;
  quiet_mode = read.quiet_mode;              // quiet_mode
  register_timeout = read.register_timeout;  // register_timeout
  rgstr_limit = read.rgstr_limit;
  rgstr_force = read.rgstr_force;
  subnets = std::move(read.subnets);                    // subnet
  subscribe_events = std::move(read.subscribe_events);  // subscribe_event
  check_rtp_flow = read.check_rtp_flow;                 // check_rtp_flow
  idletm = read.idletm;                                 // idle_timeout
  evnts = read.evnts;                                   // events_collector
  dos_mode = read.dos_mode;                             // dos_level
  interval = read.interval;                             // dos_interval
  block_time_first = read.block_time_first;
  light_threshold_first = read.light_threshold_first;
  heavy_threshold_first = read.heavy_threshold_first;
  repeat_threshold_first = read.repeat_threshold_first;
  interval_count = read.interval_count;  // dos_multiple
  block_time_repeat = read.block_time_repeat;
  light_threshold_repeat = read.light_threshold_repeat;
  heavy_threshold_repeat = read.heavy_threshold_repeat;
  repeat_threshold_repeat = read.repeat_threshold_repeat;
  max_messages_per_second = read.max_messages_per_second;  // dos_max_mps
  block_time_rate = read.block_time_rate;
  ip_max_messages_per_second = read.ip_max_messages_per_second;  // dos_ip_max_mps
  ddos_threshold = read.ddos_threshold;                          // ddos_threshold
  ddos_block_time = read.ddos_block_time;
  dos_whitelist = std::move(read.dos_whitelist);  // dos_whitelist
  throttle_register = read.throttle_register;     // throttling
  throttle_ddos = read.throttle_ddos;
  hole_attach = read.hole_attach;             // attach_hole
  assume_nosrtp = read.assume_nosrtp;         // assume_nosrtp
  assume_no_obp = read.assume_no_obp;         // assume_no_obp
  bare_codecs = std::move(read.bare_codecs);  // bare_sdp
  bare_params = std::move(read.bare_params);
  rsvps = std::move(read.rsvps);                          // rsvp
  transcoding_rules = std::move(read.transcoding_rules);  // transcoding

  // The limits on what a source holds, and how long an INVITE may stay provisional.
  dialogs_per_ip = read.dialogs_per_ip;
  max_dialogs = read.max_dialogs;
  unanswered_calls_per_ip = read.unanswered_calls_per_ip;
  anchored_calls_per_ip = read.anchored_calls_per_ip;
  invite_timeout = read.invite_timeout;
  // log_level and log_size_limit act on the log block; Config applies them from the read.
}
