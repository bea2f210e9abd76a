// G.711 companding (ITU-T G.711): one sample at a time between 16-bit linear PCM and 8-bit mu-law or A-law.
// Pure functions without state: safe from any thread (media threads, the ring-file tool, tests).
#pragma once

#include <cstdint>

// Encoders take a 16-bit linear sample (full int16 range); decoders return one.
uint8_t linear2ulaw(int16_t pcm);
int16_t ulaw2linear(uint8_t code);
uint8_t linear2alaw(int16_t pcm);
int16_t alaw2linear(uint8_t code);

// Code-to-code conversion through the linear value: the decoded level re-encoded in the other law.
uint8_t alaw2ulaw(uint8_t code);
uint8_t ulaw2alaw(uint8_t code);
