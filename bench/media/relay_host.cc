// A process that anchors N calls on the media engine for a benchmark: each call gets a client pair and a
// server pair from the range and runs on one of the engine's media threads. Prints one stream line per call
// and runs until SIGTERM or SIGINT, then stops every relay and closes the ports.
//
// Usage: relay_host N A_BASE B_BASE RANGE_LOW RANGE_HIGH STREAMFILE [MEDIA_THREADS (default 2)]
//   client i is 127.0.0.1:A_BASE+2i, server i is 127.0.0.1:B_BASE+2i; STREAMFILE gets
//   "a_port relay_port_for_a b_port relay_port_for_b" lines (the format of the peers' stream files).
// With TRANSCODE=ilbc in the environment every call is transcoded: the client speaks iLBC (30 ms frames,
// payload type 97), the server PCMU (bench/media/transcode.sh).
// With SRTP=80 (or 1) or SRTP=32 every call terminates SRTP toward the client in that suite
// (bench/media/srtp.sh): the phone's keys are the same fixed ones for every call, the relay's own are fresh
// for each; STREAMFILE.srtp gets one "<phone's crypto value>\t<relay's crypto value>" line per call, in the
// order of STREAMFILE.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "media/media_engine.h"
#include "media/relay.h"
#include "media/srtp_context.h"

namespace {

struct BenchCall {
  explicit BenchCall(unsigned uniq) : cln(uniq), srv(uniq), cln_video(uniq), srv_video(uniq) {}
  ClientRtpPort cln;
  ServerRtpPort srv;
  ClientRtpPort cln_video;
  ServerRtpPort srv_video;
  MediaRelay relay{cln, srv, cln_video, srv_video};
};

// The phones' keys: one attribute for every call (a test key; only the suite changes).
constexpr const char* kPhoneKey = "inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz";

void RaiseDescriptorLimit() {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7 && argc != 8) {
    std::fprintf(stderr, "usage: %s N A_BASE B_BASE RANGE_LOW RANGE_HIGH STREAMFILE [MEDIA_THREADS]\n",
                 argv[0]);
    return 2;
  }
  const char* transcode = std::getenv("TRANSCODE");
  const bool ilbc = transcode != nullptr && std::strcmp(transcode, "ilbc") == 0;
  if (transcode != nullptr && *transcode != '\0' && !ilbc) {
    std::fprintf(stderr, "TRANSCODE=%s: only ilbc is known\n", transcode);
    return 2;
  }
  const char* srtp_env = std::getenv("SRTP");
  std::string phone_crypto;
  if (srtp_env != nullptr && *srtp_env != '\0' && std::strcmp(srtp_env, "0") != 0) {
    if (std::strcmp(srtp_env, "1") == 0 || std::strcmp(srtp_env, "80") == 0) {
      phone_crypto = std::string("1 AES_CM_128_HMAC_SHA1_80 ") + kPhoneKey;
    } else if (std::strcmp(srtp_env, "32") == 0) {
      phone_crypto = std::string("1 AES_CM_128_HMAC_SHA1_32 ") + kPhoneKey;
    } else {
      std::fprintf(stderr, "SRTP=%s: 80 (or 1) or 32\n", srtp_env);
      return 2;
    }
  }
  const bool srtp = !phone_crypto.empty();
  const int n = std::atoi(argv[1]), a_base = std::atoi(argv[2]), b_base = std::atoi(argv[3]);
  g_config.range_low = std::atoi(argv[4]);
  g_config.range_high = std::atoi(argv[5]);
  std::strcpy(g_config.private_ipaddr, "127.0.0.1");
  std::strcpy(g_config.intern_ipaddr, "127.0.0.1");
  RaiseDescriptorLimit();

  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // media threads inherit the mask; main waits for the signal
  if (!MediaEngine::Instance().Start(argc == 8 ? std::atoi(argv[7]) : 2)) {
    std::fprintf(stderr, "no media threads\n");
    return 1;
  }

  std::vector<std::unique_ptr<BenchCall>> calls;
  // Written under another name and renamed once complete, so a reader never sees half the calls.
  const std::string part = std::string(argv[6]) + ".part";
  FILE* out = std::fopen(part.c_str(), "w");
  if (out == nullptr) return 1;
  const std::string keys_part = std::string(argv[6]) + ".srtp.part";
  FILE* keys = srtp ? std::fopen(keys_part.c_str(), "w") : nullptr;
  if (srtp && keys == nullptr) return 1;
  for (int i = 0; i < n; ++i) {
    auto call = std::make_unique<BenchCall>(static_cast<unsigned>(100000 + i));
    if (call->cln.Open() < 0 || call->srv.Open() < 0) {
      std::fprintf(stderr, "no ports for call %d\n", i);
      return 1;
    }
    call->cln.RtpDestination(InetAddress(static_cast<unsigned short>(a_base + 2 * i), "127.0.0.1"));
    call->srv.RtpDestination(InetAddress(static_cast<unsigned short>(b_base + 2 * i), "127.0.0.1"));
    if (srtp) {
      auto ctx = std::make_unique<SrtpContext>(static_cast<unsigned>(100000 + i), 0);
      if (!ctx->SetRecvCrypto(phone_crypto.c_str())) {
        std::fprintf(stderr, "phone keys refused for call %d\n", i);
        return 1;
      }
      ctx->SetSendCrypto();
      std::fprintf(keys, "%s\t%s\n", phone_crypto.c_str(), ctx->GetSendCrypto().c_str());
      call->cln.SetSrtp(std::move(ctx));
      call->relay.SrtpTerminated(true);
    }
    RelaySetup setup;
    setup.orig_ip = 0x7F000001;
    setup.signalling_ip = 0x7F000001;
    if (ilbc) {
      setup.transcode = true;
      setup.transcode_from = ILBC_60;
      setup.client_payload = 97;
    }
    if (!call->relay.Start(setup, nullptr)) {
      std::fprintf(stderr, "cannot relay call %d\n", i);
      return 1;
    }
    call->relay.Established(true);
    std::fprintf(out, "%d %d %d %d\n", a_base + 2 * i, call->cln.LPort(), b_base + 2 * i, call->srv.LPort());
    calls.push_back(std::move(call));
  }
  if (keys != nullptr) {
    std::fclose(keys);
    std::rename(keys_part.c_str(), (std::string(argv[6]) + ".srtp").c_str());  // before the stream file
  }
  std::fclose(out);
  std::rename(part.c_str(), argv[6]);
  std::fprintf(stderr, "relay_host: %d calls anchored%s%s\n", n, ilbc ? ", transcoded iLBC<->PCMU" : "",
               srtp ? ", SRTP toward the client" : "");
  int sig = 0;
  sigwait(&stop, &sig);
  calls.clear();  // each relay leaves its media thread before its pairs close
  return 0;
}
