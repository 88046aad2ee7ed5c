// Random file operations on a real FUSE mount over the real engine, each
// checked against a model of a local file system, and the engine's folder
// checked against the model at the end. Fixed seeds here; scripts/soak runs
// the same for as long as asked, with new seeds.
#include <gtest/gtest.h>

#include "support/mount_exerciser.h"
#include "support/mounted_scope.h"
#include "support/test_env.h"

namespace corvane::testing {
namespace {

using namespace std::chrono_literals;

class MountExerciserTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(MountExerciserTest, EveryStepMatchesTheModel) {
  TestEnvironment env;
  MountedScope scope(env.root(), CORVANE_BIN_DIR);
  MountExerciser exerciser(scope.mountpoint(), scope.backing(), GetParam());
  auto failure = exerciser.run(400);
  if (!failure) failure = exerciser.finish(20s);
  EXPECT_FALSE(failure) << *failure << "\nmount log:\n" << scope.mount().log();
  EXPECT_EQ(exerciser.operations(), 400u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, MountExerciserTest, ::testing::Values(1, 2, 3, 4));

}  // namespace
}  // namespace corvane::testing
