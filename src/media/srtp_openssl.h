// libsrtp2's AES counter mode and HMAC-SHA1 on OpenSSL's EVP instead of the NSS back end Debian builds it
// with. libsrtp2 keeps the protocol (key derivation, replay window, roll-over, packet layout); only its
// AES_ICM_128 cipher (the packet cipher and the key derivation of both suites) and its HMAC_SHA1 auth
// function are replaced. On NSS a packet cost about 2 µs, and more with every key alive in the process
// (10 µs and more with 1,000 calls); these keep one OpenSSL context per libsrtp cipher and auth object,
// keyed once, and cost about 0.4 µs a packet whatever the number of calls.
//
// Threads: InstallSrtpOpenSsl runs once, after srtp_init() and before any libsrtp session exists (the
// std::call_once of SrtpContext). The objects it installs are then used by the thread owning each session.
#pragma once

#include <string>

// Replaces libsrtp2's AES_ICM_128 and HMAC_SHA1 by the OpenSSL ones. libsrtp2 runs its known-answer tests
// (the library's own and ours) on each before taking it. False, with the reason in *error, when OpenSSL has
// no such algorithm or libsrtp2 refused one; whatever was refused stays libsrtp2's own, which is slower but
// correct.
bool InstallSrtpOpenSsl(std::string* error);
