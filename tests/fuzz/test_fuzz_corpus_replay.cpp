// Replays the committed fuzz corpus through the fuzz entry, so that every
// build runs the dispatcher over the saved inputs.
#include <gtest/gtest.h>

#include "LinkDispatcherFuzz.h"
#include "LinkFuzzCorpus.h"
#include "TestSupport.h"

TEST(LinkFuzzCorpus, EveryInputRunsThrough) {
  ASSERT_GT(kLinkFuzzCorpusCount, 0u);
  testsupport::Output captured;  // the dispatcher logs a lot
  for (size_t i = 0; i < kLinkFuzzCorpusCount; ++i) {
    const auto& input = kLinkFuzzCorpus[i];
    EXPECT_EQ(LLVMFuzzerTestOneInput(input.data, input.size), 0) << input.name;
  }
  const std::string log = captured.take();
  EXPECT_FALSE(log.empty());
}
