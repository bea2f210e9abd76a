// What a read starts from, and what a re-read may change in the configuration in force.
#include "config/settings.h"

void Settings::StartRead() {
  RSVPs.clear();
  SubNets.clear();
  Domains.clear();
  SubscrEvents.clear();
  Broken.clear();
  FUsers.clear();
  TrustSrc.clear();
  TransRules.clear();
  HardSrvs.clear();
  RstrFwd.clear();
  DosWList.clear();
  // BareCodecs and BareParams stay: only a `bare_sdp` line replaces them.
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
  Domains = std::move(read.Domains);                      // domain
  HardSrvs = std::move(read.HardSrvs);                    // server
  FUsers = std::move(read.FUsers);                        // fuser
  TrustSrc = std::move(read.TrustSrc);                    // trusted
  Broken = std::move(read.Broken);                        // broken
  RstrFwd = std::move(read.RstrFwd);                      // restrict_forward
  slow_start = read.slow_start;                           // slow_start
  LogFName = std::move(read.LogFName);                    // log
  SAppMaster = std::move(read.SAppMaster);                // log_name
  SAppSlave = std::move(read.SAppSlave);
  StatLog = std::move(read.StatLog);                      // stat_log
  statlog_set = read.statlog_set;
  quiet_mode = read.quiet_mode;                           // quiet_mode
  register_timeout = read.register_timeout;                       // register_timeout
  rgstr_limit = read.rgstr_limit;
  rgstr_force = read.rgstr_force;
  SubNets = std::move(read.SubNets);                      // subnet
  SubscrEvents = std::move(read.SubscrEvents);            // subscribe_event
  check_rtp_flow = read.check_rtp_flow;                   // check_rtp_flow
  idletm = read.idletm;                                   // idle_timeout
  evnts = read.evnts;                                     // events_collector
  DOSMode = read.DOSMode;                                 // dos_level
  Interval = read.Interval;                               // dos_interval
  BlockTime1 = read.BlockTime1;
  LThreshold1 = read.LThreshold1;
  HThreshold1 = read.HThreshold1;
  RThreshold1 = read.RThreshold1;
  NumInterv = read.NumInterv;                             // dos_multiple
  BlockTimeN = read.BlockTimeN;
  LThresholdN = read.LThresholdN;
  HThresholdN = read.HThresholdN;
  RThresholdN = read.RThresholdN;
  MaxMPS = read.MaxMPS;                                   // dos_max_mps
  BlockTimeMps = read.BlockTimeMps;
  DDthreshold = read.DDthreshold;                         // ddos_threshold
  DDBlockTime = read.DDBlockTime;
  DosWList = std::move(read.DosWList);                    // dos_whitelist
  ThrottReg = read.ThrottReg;                             // throttling
  ThrottDDOS = read.ThrottDDOS;
  hole_attach = read.hole_attach;                         // attach_hole
  assume_nosrtp = read.assume_nosrtp;                     // assume_nosrtp
  assume_no_obp = read.assume_no_obp;                     // assume_no_obp
  BareCodecs = std::move(read.BareCodecs);                // bare_sdp
  BareParams = std::move(read.BareParams);
  RSVPs = std::move(read.RSVPs);                          // rsvp
  TransRules = std::move(read.TransRules);                // transcoding
  // log_level and log_size_limit act on the log block; Config applies them from the read.
}
