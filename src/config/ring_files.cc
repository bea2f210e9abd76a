// Loading the three ring files at start-up: raw sequences of 20 ms frames, all cut to the frame count
// of the shortest, since the ring thread plays frame i of every codec in step.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "config/config.h"
#include "foundation/log.h"

namespace {

struct RingFile {
  const std::string& path;
  const char* keyword;
  size_t frame_bytes;
  std::vector<uint8_t>& frames;
};

// The whole frames of one file; 0 (logged) when the file is not configured, cannot be read or holds no
// whole frame (playback would then read past the buffers).
size_t LoadOne(const RingFile& ring) {
  if (ring.path.empty()) {
    Log("ostrel", 0, "Missing config '%s'\n", ring.keyword);
    return 0;
  }
  std::ifstream file(ring.path, std::ios::binary);
  if (!file) {
    Log("ostrel", 0, "Can't open ring file %s\n", ring.path.c_str());
    return 0;
  }
  std::vector<uint8_t> content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) {
    Log("ostrel", 0, "Can't open ring file %s\n", ring.path.c_str());
    return 0;
  }
  size_t count = content.size() / ring.frame_bytes;
  if (count == 0) {
    Log("ostrel", 0, "Ring file %s holds no whole frame of %zu bytes\n", ring.path.c_str(), ring.frame_bytes);
    return 0;
  }
  ring.frames = std::move(content);
  return count;
}

}  // namespace

bool Config::LoadRingFiles() {
  const RingFile rings[] = {
      {ring_file_g729, "ring_g729", 20, ring_g729},
      {ring_file_gsm, "ring_gsm", 33, ring_gsm},
      {ring_file_ulaw, "ring_ulaw", 160, ring_ulaw},
  };
  size_t count = SIZE_MAX;
  for (const RingFile& ring : rings) count = std::min(count, LoadOne(ring));  // every fault reported
  if (count == 0) return false;
  for (const RingFile& ring : rings) ring.frames.resize(count * ring.frame_bytes);
  ring_count = static_cast<int>(count);
  return true;
}
