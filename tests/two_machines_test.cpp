// Two machines on one bucket: two engines, each with its own state, and a
// mount on each, as two desktops of one person or team would be. Each case
// forces the order of one race (a file held open while the other machine
// writes, an engine stopped with SIGSTOP, a slow change feed on one side)
// and checks that every write the user was told is done survives (at its
// path or as a conflict copy), that no lost race shows as a failure, and
// that both machines end up showing what the bucket holds.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "support/s3_test_store.h"
#include "support/test_env.h"
#include "support/two_machines.h"

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const auto* const kStore = ::testing::AddGlobalTestEnvironment(new S3TestStore);

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(50ms);
  }
  return true;
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

// A file opened for writing and written, whose close (the moment the mount
// sends it) the test chooses.
class HeldWrite {
 public:
  HeldWrite(const fs::path& file, const std::string& bytes) {
    fd_ = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok_ = fd_ >= 0 && ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  ~HeldWrite() { close(); }
  bool ok() const { return ok_; }
  // 0, or the errno of a failed close.
  int close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

// The names in `tree` of conflict copies of `name` in `folder` ("" for the
// root), and of their bytes.
std::map<std::string, std::string> conflictCopies(const Tree& tree, const std::string& folder,
                                                  const std::string& name) {
  const auto dot = name.rfind('.');
  const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  const std::string start = (folder.empty() ? "" : folder + "/") + stem + " (conflict ";
  std::map<std::string, std::string> out;
  for (const auto& [path, bytes] : tree) {
    if (bytes && path.starts_with(start) && path.find('/', start.size()) == std::string::npos) {
      out[path] = *bytes;
    }
  }
  return out;
}

class TwoMachinesTest : public ::testing::Test {
 protected:
  void start(std::optional<Machine::Options> b = std::nullopt) {
    machines = std::make_unique<TwoMachines>(env.root(), bucket.client(), options, b);
  }
  Machine& a() { return machines->a(); }
  Machine& b() { return machines->b(); }
  fs::path onA(const std::string& path) { return a().mountpoint() / path; }
  fs::path onB(const std::string& path) { return b().mountpoint() / path; }
  std::optional<std::string> inBucket(const std::string& path) {
    const Tree tree = machines->bucketTree();
    auto it = tree.find(path);
    if (it == tree.end()) return std::nullopt;
    return it->second;
  }
  std::string logs() { return a().logs() + b().logs(); }

  // Both machines end up showing what the bucket holds; no lost race was
  // told as a failure of the store.
  void expectConverged() {
    auto left = machines->converge(30s);
    EXPECT_FALSE(left) << *left << logs();
    const std::string all = logs();
    EXPECT_EQ(all.find("store failed"), std::string::npos) << all;
  }

  TestEnvironment env;
  TestBucket bucket;
  Machine::Options options = [] {
    Machine::Options o;
    o.prefix = "m/";
    return o;
  }();
  std::unique_ptr<TwoMachines> machines;
};

TEST_F(TwoMachinesTest, WhatOneMachineWritesTheOtherShows) {
  start();
  put(onA("hello.txt"), "from alpha\n");
  fs::create_directories(onA("docs/deep"));
  put(onA("docs/deep/note.md"), "deep\n");
  EXPECT_TRUE(eventually([&] { return slurp(onB("docs/deep/note.md")) == "deep\n"; })) << logs();
  EXPECT_EQ(slurp(onB("hello.txt")), "from alpha\n");
  put(onB("hello.txt"), "from beta\n");
  EXPECT_TRUE(eventually([&] { return slurp(onA("hello.txt")) == "from beta\n"; })) << logs();
  fs::remove(onA("docs/deep/note.md"));
  EXPECT_TRUE(eventually([&] { return !fs::exists(onB("docs/deep/note.md")); })) << logs();
  expectConverged();
}

// Both machines change one file from the same version: the one whose change
// reaches the bucket first wins; the other's bytes become a conflict copy
// named after the machine that wrote them, on both machines.
TEST_F(TwoMachinesTest, TheLaterOfTwoEditsOfOneVersionBecomesAConflictCopy) {
  start();
  put(onA("shared.txt"), "base\n");
  ASSERT_TRUE(eventually([&] { return slurp(onB("shared.txt")) == "base\n"; })) << logs();

  HeldWrite beta(onB("shared.txt"), "beta's edit\n");
  ASSERT_TRUE(beta.ok());
  put(onA("shared.txt"), "alpha's edit\n");
  ASSERT_TRUE(eventually([&] { return inBucket("shared.txt") == "alpha's edit\n"; })) << logs();
  EXPECT_EQ(beta.close(), 0);

  ASSERT_TRUE(eventually([&] {
    return conflictCopies(machines->bucketTree(), "", "shared.txt").size() == 1;
  })) << logs();
  const auto copies = conflictCopies(machines->bucketTree(), "", "shared.txt");
  EXPECT_EQ(copies.begin()->second, "beta's edit\n");
  EXPECT_TRUE(std::regex_match(copies.begin()->first,
                               std::regex(R"(shared \(conflict beta \d{4}-\d\d-\d\d \d{6}\)\.txt)")))
      << copies.begin()->first;
  EXPECT_EQ(inBucket("shared.txt"), "alpha's edit\n");
  expectConverged();
}

}  // namespace
}  // namespace corvane::testing
