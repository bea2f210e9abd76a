// The configuration lock under load: policy queries on other threads while the reactor thread swaps
// in freshly read lists. Also run under ThreadSanitizer.
#include <atomic>
#include <thread>

#include "config_fixture.h"

namespace {

// Readers query while the reactor thread swaps in new lists: every answer comes from one whole read.
TEST_F(ConfigTest, QueriesDuringRereadsSeeOneWholeConfiguration) {
  ASSERT_EQ(Read({"trusted = 10.0.0.1", "trusted = 10.0.0.2"}), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop.load()) {
      ReadGuard guard(cfg_->lock);
      bool a = cfg_->trusted_sources.count(Ip("10.0.0.1")) != 0;
      bool b = cfg_->trusted_sources.count(Ip("10.0.0.2")) != 0;
      if (a != b) ++torn;
    }
  });
  for (int i = 0; i < 200; ++i) {
    if (i % 2 == 0) {
      ASSERT_EQ(Read({"trusted = 10.0.0.3"}), 1);
    } else {
      ASSERT_EQ(Read({"trusted = 10.0.0.1", "trusted = 10.0.0.2"}), 1);
    }
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
