// kill -9 of a real mount at random moments during writes, saves and
// renames, then a new mount: every write whose close or fsync returned
// success is at the engine with its bytes. A few rounds here; scripts/soak
// runs many.
#include <gtest/gtest.h>

#include "support/mount_crasher.h"
#include "support/mounted_scope.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

class MountCrashTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(MountCrashTest, AcknowledgedWritesSurviveAKill) {
  TestEnvironment env;
  MountedScope scope(env.root(), CORVANE_BIN_DIR);
  MountCrasher crasher(scope, GetParam());
  for (int i = 0; i < 4; ++i) {
    auto failure = crasher.round(400ms);
    ASSERT_FALSE(failure) << *failure << "\nmount log:\n" << scope.mount().log();
  }
  EXPECT_GT(crasher.figures().acknowledged, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountCrashTest, ::testing::Values(11, 12));

}  // namespace
}  // namespace corvane::testing
