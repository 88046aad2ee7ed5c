// The command lines of the three tools: the shared conventions (usage errors
// as one line that says what to write, exit statuses, --version, the config
// file and its precedence, the choice of a domain by id or name) checked on a
// small CLI11 application, then each built tool run as a child process with
// a table of cases: its exit status and the first words it prints.
#include "cli/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/config_file.h"
#include "cli/config_sections.h"
#include "cli/domain_choice.h"
#include "cli/value_checks.h"
#include "cli/version.h"
#include "engine/decoding.h"
#include "support/engine_process.h"
#include "support/test_env.h"

extern char** environ;

namespace corvane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// --- choosing a domain ------------------------------------------------------

host::ServedDomain served(const std::string& id, const std::string& name) {
  host::ServedDomain d;
  d.domain = host::Domain{id, name};
  return d;
}

TEST(DomainChoiceTest, TakesAScopesIdOrItsName) {
  // local-3 is named like another scope's id; s3-1 and s3-2 share a name.
  const std::vector<host::ServedDomain> domains = {
      served("local-1", "default"), served("local-2", "docs"), served("local-3", "local-1"),
      served("s3-1", "photos"), served("s3-2", "photos")};
  struct Case {
    std::optional<std::string> given;
    std::string chosen;  // the id; empty when refused
    std::string refusal;
  };
  const std::vector<Case> cases = {
      {std::nullopt, "local-1", ""},
      {"local-2", "local-2", ""},
      {"docs", "local-2", ""},
      {"local-1", "local-1", ""},  // an id wins over a name
      {"photos", "",
       "--domain photos: 2 scopes have that name; write one of their ids: s3-1, s3-2"},
      {"Docs", "",
       "--domain Docs: the engine has no scope of that id or name; write one of local-1 "
       "(default), local-2 (docs), local-3 (local-1), s3-1 (photos), s3-2 (photos)"},
  };
  for (const Case& c : cases) {
    const std::string shown = c.given.value_or("(none)");
    if (c.refusal.empty()) {
      EXPECT_EQ(cli::chooseDomain(domains, c.given).domain.identifier, c.chosen) << shown;
      continue;
    }
    try {
      cli::chooseDomain(domains, c.given);
      ADD_FAILURE() << shown << " was taken";
    } catch (const cli::DomainChoiceError& e) {
      EXPECT_EQ(e.what(), c.refusal) << shown;
    }
  }
  EXPECT_THROW(cli::chooseDomain({}, std::nullopt), cli::DomainChoiceError);
  EXPECT_THROW(cli::chooseDomain({}, "docs"), cli::DomainChoiceError);
}

TEST(DomainChoiceTest, AdviceForAnAbsentEngineNamesTheDiscoveryFile) {
  TestEnvironment env;
  const std::string file = (env.applicationSupport() / "engine.json").string();
  EXPECT_EQ(cli::engineAdvice(),
            "no engine answers: " + file + " does not exist; start corvane-engine");
  env.writeDiscovery(1, "token");
  EXPECT_EQ(cli::engineAdvice().rfind(
                "no engine answers at the port named in " + file + "; start corvane-engine", 0),
            0u)
      << cli::engineAdvice();
  EXPECT_TRUE(cli::isUnreachable(host::Error::fileProvider(host::codes::kServerUnreachable)));
  EXPECT_FALSE(cli::isUnreachable(host::Error::fileProvider(host::codes::kNoSuchItem)));
}

// --- values and versions ----------------------------------------------------

TEST(ValueCheckTest, RefusalsSayWhatToWrite) {
  constexpr std::int64_t kNoLimit = std::numeric_limits<std::int64_t>::max();
  struct Whole {
    std::string value;
    std::int64_t min, max;
    std::string says;  // empty: accepted
  };
  const std::vector<Whole> whole = {
      {"1", 1, kNoLimit, ""},
      {"+7", 0, 10, ""},
      {"0", 1, kNoLimit, "0 is too small; write a whole number of at least 1, such as 100000"},
      {"99999999999999999999", 1, kNoLimit, "99999999999999999999 is too large; "},
      {"65536", 0, 65535, "65536 is too large; write a whole number from 0 to 65535, such as"},
      {"x", 0, 65535, "'x' is not a whole number; "},
      {"5k", 0, 65535, "'5k' is not a whole number; "},
      {"", 0, 65535, "'' is not a whole number; "},
      {"1.5", 0, 65535, "'1.5' is not a whole number; "},
  };
  for (const Whole& c : whole) {
    const std::string said = cli::checkWholeNumber(c.value, c.min, c.max, "100000");
    if (c.says.empty()) {
      EXPECT_EQ(said, "") << c.value;
    } else {
      EXPECT_EQ(said.rfind(c.says, 0), 0u) << c.value << ": " << said;
    }
  }
  struct Decimal {
    std::string value;
    std::string says;
  };
  const std::vector<Decimal> decimal = {
      {"0.1", ""},
      {"3600", ""},
      {"0", "0 is too small; write a number from 0.1 to 3600, such as 2"},
      {"3600.5", "3600.5 is too large; "},
      {"1e9", "1e9 is too large; "},
      {"nan", "'nan' is not a number; "},
      {"two", "'two' is not a number; "},
  };
  for (const Decimal& c : decimal) {
    const std::string said = cli::checkDecimalNumber(c.value, 0.1, 3600, "2");
    if (c.says.empty()) {
      EXPECT_EQ(said, "") << c.value;
    } else {
      EXPECT_EQ(said.rfind(c.says, 0), 0u) << c.value << ": " << said;
    }
  }
  EXPECT_EQ(cli::numberText(0.05), "0.05");
  EXPECT_EQ(cli::numberText(86400), "86400");
}

TEST(VersionTest, NamesTheToolTheVersionAndTheCommit) {
  EXPECT_EQ(cli::versionText("corvane-mount", "1.2.3", "0123456789ab"),
            "corvane-mount 1.2.3 (git 0123456789ab)");
  EXPECT_EQ(cli::versionText("corvane-mount", "1.2.3", ""), "corvane-mount 1.2.3");
  EXPECT_FALSE(std::string(cli::kProjectVersion).empty());
}

// --- one tool's command line ------------------------------------------------

// A small tool with the options of the kinds the real ones have.
class SampleTool {
 public:
  SampleTool() {
    cli::setUpTool(app, "sample", "sample.conf");
    app.add_option("--name", name, "a name")->type_name("NAME");
    app.add_option("--poll", poll, "seconds")
        ->type_name("SECONDS")
        ->check(cli::decimalNumber(0.1, 10, "2"));
    app.add_option("--scope", scopes, "repeatable");
    app.add_flag("--verbose", verbose, "more");
    auto* a = app.add_flag("--alpha", alpha, "one way");
    app.add_flag("--beta", beta, "the other")->excludes(a);
  }

  // Parses `args` as the command line; the status when the tool would stop.
  std::optional<int> parse(std::vector<std::string> args) {
    std::vector<const char*> argv = {"/usr/bin/sample"};
    for (const auto& a : args) argv.push_back(a.c_str());
    return cli::parse(app, static_cast<int>(argv.size()), argv.data());
  }

  CLI::App app{"A sample tool."};
  std::string name = "unset";
  double poll = 2;
  std::vector<std::string> scopes;
  bool verbose = false, alpha = false, beta = false;
};

TEST(CommandLineTest, UsageErrorsAreOneLineThatSaysWhatToWrite) {
  TestEnvironment env;
  const fs::path conf = env.configHome() / "CorvaneSync" / "sample.conf";
  struct Case {
    std::string config;  // the default config file's text; empty: no file
    std::vector<std::string> args;
    std::string line;  // the line on standard error, without "sample: "
  };
  const std::vector<Case> cases = {
      {"", {"--bogus"}, "unknown option --bogus (see sample --help)"},
      {"", {"--verbos"}, "unknown option --verbos; did you mean --verbose?"},
      {"", {"--nmae=x"}, "unknown option --nmae; did you mean --name?"},
      {"", {"stray"}, "unexpected argument 'stray' (see sample --help)"},
      {"", {"--name"}, "--name needs a value; write --name NAME"},
      {"", {"--poll", "0"}, "--poll: 0 is too small; write a number from 0.1 to 10, such as 2"},
      {"", {"--alpha", "--beta"}, "give --alpha or --beta, not both"},
      {"",
       {"--config", (env.root() / "missing.conf").string()},
       "cannot read the config file " + (env.root() / "missing.conf").string() +
           "; name a readable file after --config"},
      {"nmae = x\n", {}, conf.string() + ": unknown option 'nmae'; did you mean 'name'?"},
      {"[extra]\nname = x\n",
       {},
       conf.string() + ": unknown section [extra]; write the options at the top, outside any "
                       "section"},
      {"version = true\n",
       {},
       conf.string() + ": 'version' cannot be set in a config file; give it on the command line"},
      {"poll = 0\n", {}, "--poll: 0 is too small; write a number from 0.1 to 10, such as 2"},
  };
  for (const Case& c : cases) {
    std::error_code ec;
    fs::remove(conf, ec);
    if (!c.config.empty()) writeText(conf, c.config);
    SampleTool tool;
    ::testing::internal::CaptureStderr();
    const auto status = tool.parse(c.args);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string shown = c.args.empty() ? c.config : c.args.front();
    EXPECT_EQ(status, std::optional<int>(cli::kUsage)) << shown;
    EXPECT_EQ(err, "sample: " + c.line + "\n") << shown;
  }
}

TEST(CommandLineTest, HelpAndVersionEndWithSuccess) {
  TestEnvironment env;
  SampleTool version;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(version.parse({"--version"}), std::optional<int>(0));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), cli::versionText("sample") + "\n");

  // The help names the config file by its variable, whoever reads it.
  SampleTool help;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(help.parse({"--help"}), std::optional<int>(0));
  const std::string text = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(text.rfind("A sample tool.\nUsage: sample ", 0), 0u) << text;
  EXPECT_NE(text.find("$XDG_CONFIG_HOME/CorvaneSync/sample.conf"), std::string::npos) << text;
  EXPECT_EQ(text.find(env.configHome().string()), std::string::npos) << text;

  SampleTool fine;
  EXPECT_EQ(fine.parse({"--name", "x"}), std::nullopt);
}

TEST(CommandLineTest, TheConfigFileIsReadAndTheCommandLineWins) {
  TestEnvironment env;
  writeText(env.configHome() / "CorvaneSync" / "sample.conf",
            "# the user's settings\nname = from-file\npoll = 3.5\nverbose = true\n"
            "scope = [\"a=/x\", \"b=/y\"]\n");
  writeText(env.root() / "other.conf", "name = other\n");

  SampleTool plain;
  ASSERT_EQ(plain.parse({}), std::nullopt);
  EXPECT_EQ(plain.name, "from-file");
  EXPECT_EQ(plain.poll, 3.5);
  EXPECT_TRUE(plain.verbose);
  EXPECT_EQ(plain.scopes, (std::vector<std::string>{"a=/x", "b=/y"}));

  SampleTool overridden;
  ASSERT_EQ(overridden.parse({"--name", "typed", "--scope", "c=/z"}), std::nullopt);
  EXPECT_EQ(overridden.name, "typed");
  EXPECT_EQ(overridden.scopes, std::vector<std::string>{"c=/z"});  // replaced, not added to
  EXPECT_EQ(overridden.poll, 3.5);

  SampleTool chosen;
  ASSERT_EQ(chosen.parse({"--config", (env.root() / "other.conf").string()}), std::nullopt);
  EXPECT_EQ(chosen.name, "other");
  EXPECT_EQ(chosen.poll, 2);  // the default file is not read as well

  fs::remove_all(env.configHome());
  SampleTool none;
  ASSERT_EQ(none.parse({}), std::nullopt);
  EXPECT_EQ(none.name, "unset");
}

TEST(CommandLineTest, NamedSectionsHoldOnlyTheirKeys) {
  TestEnvironment env;
  const fs::path conf = env.configHome() / "CorvaneSync" / "sample.conf";
  struct Case {
    std::string config;
    std::vector<cli::NamedSection> sections;  // when accepted
    std::string refusal;                      // else the line on standard error
  };
  const std::vector<Case> cases = {
      {"name = top\n[scope.photos]\nurl = \"s3://b/p\"\nregion = eu-west-1\n"
       "[scope.docs]\nurl = /home/me/docs\n",
       {{"photos", {{"url", "s3://b/p"}, {"region", "eu-west-1"}}},
        {"docs", {{"url", "/home/me/docs"}}}},
       ""},
      {"[scope.photos]\nurl = s3://b\n[scope.photos]\nregion = r\n",
       {{"photos", {{"url", "s3://b"}, {"region", "r"}}}},
       ""},
      {"[scope.photos]\nurll = s3://b\n",
       {},
       conf.string() + ": unknown key 'urll' in [scope.photos]; write one of url, region"},
      {"[scope.photos]\nurl = s3://b\nurl = s3://c\n",
       {},
       conf.string() + ": the key 'url' in [scope.photos] takes one value"},
      {"[scope.a.b]\nurl = s3://b\n",
       {},
       conf.string() + ": the section [scope.a.b] (or the key url) is not of the form "
                       "[scope.NAME]; a name in a section has no dot"},
      {"[scope.photos]\nurl = s3://b\nnmae = x\n",
       {},
       conf.string() + ": unknown key 'nmae' in [scope.photos]; write one of url, region"},
      {"[other.photos]\nurl = s3://b\n",
       {},
       conf.string() + ": unknown section [other]; write the options at the top, outside any "
                       "section"},
  };
  for (const Case& c : cases) {
    writeText(conf, c.config);
    SampleTool tool;
    auto sections =
        std::make_shared<cli::SectionedConfig>("scope", std::vector<std::string>{"url", "region"});
    tool.app.config_formatter(sections);
    ::testing::internal::CaptureStderr();
    const auto status = tool.parse({});
    const std::string err = ::testing::internal::GetCapturedStderr();
    if (c.refusal.empty()) {
      EXPECT_EQ(status, std::nullopt) << c.config << err;
      ASSERT_EQ(sections->sections().size(), c.sections.size()) << c.config;
      for (std::size_t i = 0; i < c.sections.size(); ++i) {
        EXPECT_EQ(sections->sections()[i].name, c.sections[i].name);
        EXPECT_EQ(sections->sections()[i].values, c.sections[i].values);
      }
    } else {
      EXPECT_EQ(status, std::optional<int>(cli::kUsage)) << c.config;
      EXPECT_EQ(err, "sample: " + c.refusal + "\n") << c.config;
    }
  }
}

TEST(CommandLineTest, TheConfigFileFollowsTheXdgRules) {
  TestEnvironment env;
  const char* home = std::getenv("HOME");
  const std::string oldHome = home ? home : "";
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_EQ(cli::configFile("mount.conf"), env.configHome() / "CorvaneSync" / "mount.conf");
  ::setenv("XDG_CONFIG_HOME", "relative/config", 1);  // ignored, as the rules ask
  EXPECT_EQ(cli::configFile("mount.conf"),
            fs::path("/home/someone/.config/CorvaneSync/mount.conf"));
  ::unsetenv("HOME");
  EXPECT_EQ(cli::configFile("mount.conf"), std::nullopt);
  if (home) ::setenv("HOME", oldHome.c_str(), 1);
}

// --- the built tools ----------------------------------------------------------

struct ToolRun {
  int status = -1;  // -1 when the tool did not exit by itself
  std::string out;
  std::string err;
};

// Runs a built tool with its output in files of `dir`; kills it after
// `timeout`, so a tool that should have stopped fails the test instead of
// hanging it.
ToolRun runTool(const std::string& tool, const std::vector<std::string>& args, const fs::path& dir,
                std::chrono::seconds timeout = 30s) {
  const std::string binary = std::string(CORVANE_BIN_DIR) + "/" + tool;
  const fs::path out = dir / "tool.out", err = dir / "tool.err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ToolRun run;
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << binary;
    return run;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << tool << " did not finish";
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = readText(out);
  run.err = readText(err);
  return run;
}

struct ToolCase {
  std::vector<std::string> args;
  int status;
  std::string begins;  // what standard error (standard output when 0) begins with
};

void expectCases(const std::string& tool, const std::vector<ToolCase>& cases, const fs::path& dir) {
  for (const ToolCase& c : cases) {
    std::string shown = tool;
    for (const auto& a : c.args) shown += " " + a;
    const ToolRun run = runTool(tool, c.args, dir);
    EXPECT_EQ(run.status, c.status) << shown << "\n" << run.err;
    const std::string& text = c.status == 0 ? run.out : run.err;
    EXPECT_EQ(text.rfind(c.begins, 0), 0u) << shown << "\n" << text;
    if (c.status == cli::kUsage && !c.begins.starts_with("fuse: ")) {
      EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << shown << ": not one line\n" << run.err;
      EXPECT_EQ(run.out, "") << shown;
    }
  }
}

class ToolTest : public ::testing::Test {
 protected:
  ToolTest() {
    fs::create_directories(mountpoint);
    fs::create_directories(docs);
    fs::create_directories(pics);
    writeText(pics / "only-in-pics.txt", "x");
  }

  // An engine serving docs (local-1) and pics (local-2).
  std::unique_ptr<EngineProcess> startEngine() {
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    options.scopes = {{"docs", docs}, {"pics", pics}};
    return std::make_unique<EngineProcess>(options);
  }

  fs::path configFile(const std::string& name) const {
    return env.configHome() / "CorvaneSync" / name;
  }

  TestEnvironment env;
  const fs::path mountpoint = env.root() / "mnt";
  const fs::path docs = env.root() / "docs";
  const fs::path pics = env.root() / "pics";
};

TEST_F(ToolTest, EngineExitStatusesAndMessages) {
  const std::string missing = (env.root() / "missing").string();
  expectCases(
      "corvane-engine",
      {
          {{"--version"}, 0, "corvane-engine " + std::string(cli::kProjectVersion)},
          {{"--help"}, 0, "corvane-engine: serves local folders"},
          {{"--bogus"}, 2, "corvane-engine: unknown option --bogus"},
          {{"--verbos"}, 2, "corvane-engine: unknown option --verbos; did you mean --verbose?"},
          {{"--log-retention", "0"}, 2, "corvane-engine: --log-retention: 0 is too small; write"},
          {{"--port", "x"}, 2, "corvane-engine: --port: 'x' is not a whole number; write"},
          {{"--port"}, 2, "corvane-engine: --port needs a value; write --port PORT"},
          {{"--scope", "docs"}, 2, "corvane-engine: --scope docs: write it as NAME=DIR"},
          {{"--scope", "a=" + docs.string(), "--scope", "a=" + pics.string()},
           2,
           "corvane-engine: --scope a=...: the scope name a is given twice"},
          {{"--read-only", "x"},
           2,
           "corvane-engine: --read-only x: there is no scope of that name; write one of default"},
          {{"--scope", "a=" + missing},
           1,
           "corvane-engine: --scope a=" + missing + ": the folder " + missing + " does not exist"},
      },
      env.root());
  const ToolRun help = runTool("corvane-engine", {"--help"}, env.root());
  EXPECT_EQ(help.out.find("always does"), std::string::npos) << help.out;
}

TEST_F(ToolTest, MountExitStatusesAndMessages) {
  const std::string dir = mountpoint.string();
  expectCases("corvane-mount",
              {
                  {{"--version"}, 0, "corvane-mount " + std::string(cli::kProjectVersion)},
                  {{"--help"}, 0, "Mounts a scope"},
                  {{}, 2, "corvane-mount: no mount point given; write corvane-mount [OPTIONS] DIR"},
                  {{"--bogus", dir}, 2, "corvane-mount: unknown option --bogus"},
                  {{"--domian", "x", dir},
                   2,
                   "corvane-mount: unknown option --domian; did you mean --domain?"},
                  {{"--poll", "0", dir}, 2, "corvane-mount: --poll: 0 is too small; write"},
                  {{"--cache-size", "5Q", dir},
                   2,
                   "corvane-mount: --cache-size: '5Q' is not a size; write"},
                  {{dir, dir}, 2, "corvane-mount: unexpected argument"},
                  {{"-f", dir},
                   1,
                   "corvane-mount: no engine answers: " +
                       (env.applicationSupport() / "engine.json").string() +
                       " does not exist; start corvane-engine"},
                  {{"-f", "--domain", "docs", dir}, 1, "corvane-mount: no engine answers: "},
              },
              env.root());
  // Usage errors and help come before the engine is asked: its usage line
  // names the tool, not the path it was started by.
  EXPECT_EQ(runTool("corvane-mount", {"--help"}, env.root()).out.find(CORVANE_BIN_DIR),
            std::string::npos);

  auto engine = startEngine();
  expectCases("corvane-mount",
              {
                  {{"--status", "--domain", "pics"}, 0, "local-2\n  mount: not mounted"},
                  {{"--status", "--domain", "local-1"}, 0, "local-1\n  mount: not mounted"},
                  {{"-f", "--domain", "nope", dir},
                   1,
                   "corvane-mount: --domain nope: the engine has no scope of that id or name; "
                   "write one of local-1 (docs), local-2 (pics)"},
                  // -o takes one word, leaving the mount point alone.
                  {{"-f", "-o", "bogus", dir},
                   2,
                   "fuse: unknown option(s): `-o bogus'\ncorvane-mount: -o bogus: libfuse does not "
                   "take these mount options"},
                  // Without -f the parent answers with the status of the
                  // child that went to the background.
                  {{"--domain", "nope", dir}, 1, "corvane-mount: --domain nope: "},
                  {{"-o", "bogus", dir}, 2, "fuse: unknown option(s)"},
              },
              env.root());
}

// A scope may be named like another's id: the id wins, as fpctl's look-up
// of a name only after the id failed does.
TEST_F(ToolTest, MountTakesTheScopeOfAnIdBeforeOneOfThatName) {
  EngineProcess::Options options;
  options.binary = CORVANE_BIN_DIR "/corvane-engine";
  options.scopes = {{"local-2", docs}, {"pics", pics}};  // local-1 is named "local-2"
  EngineProcess engine(options);
  expectCases("corvane-mount",
              {
                  {{"--status", "--domain", "local-2"}, 0, "local-2\n  mount: not mounted"},
                  {{"--status", "--domain", "pics"}, 0, "local-2\n  mount: not mounted"},
                  {{"--status", "--domain", "local-1"}, 0, "local-1\n  mount: not mounted"},
              },
              env.root());
  expectCases(
      "corvane-fpctl",
      {
          {{"--domain", "local-2", "item", "only-in-pics.txt"}, 0, "identifier: only-in-pics.txt"},
      },
      env.root());
}

TEST_F(ToolTest, FpctlExitStatusesAndMessages) {
  expectCases(
      "corvane-fpctl",
      {
          {{"--version"}, 0, "corvane-fpctl " + std::string(cli::kProjectVersion)},
          {{"lsit"}, 2, "corvane-fpctl: unknown command 'lsit'; did you mean list?"},
          {{"--bogus", "domains"}, 2, "corvane-fpctl: domains: unknown option --bogus"},
          {{"fetch", "a", "--outptu", "b"},
           2,
           "corvane-fpctl: fetch: unknown option --outptu; did you mean --output?"},
          {{"domains"},
           3,
           "error: domains: NSFileProviderErrorDomain -1004: server unreachable; no "
           "engine answers: "},
          {{"list", ":root"},
           3,
           "error: NSFileProviderErrorDomain -1004: server unreachable; no engine answers: "},
      },
      env.root());

  auto engine = startEngine();
  expectCases(
      "corvane-fpctl",
      {
          {{"--domain", "pics", "item", "only-in-pics.txt"}, 0, "identifier: only-in-pics.txt"},
          {{"--domain", "docs", "item", "only-in-pics.txt"},
           3,
           "error: item only-in-pics.txt: NSFileProviderErrorDomain -1005"},
          {{"--domain", "nope", "item", ":root"},
           3,
           "error: item :root: NSFileProviderErrorDomain -1005: no such item; --domain nope: the "
           "engine has no scope of that id or name; write one of local-1 (docs), local-2 "
           "(pics)"},
      },
      env.root());
}

// Each tool reads its own file below XDG_CONFIG_HOME, and an option on the
// command line wins over it.
TEST_F(ToolTest, ConfigFilesAreReadAndOverridden) {
  // The engine's: a scope from the file, unless the command line names one.
  writeText(configFile("engine.conf"), "scope = \"from-file=" + docs.string() + "\"\n");
  auto scopeNames = [](EngineProcess& engine) {
    const EngineReply reply = engineGet(*engine.client(), "/v1/scopes");
    std::vector<std::string> names;
    for (const Scope& s : decode::scopesAnswer(reply.body)) names.push_back(s.name);
    return names;
  };
  {
    EngineProcess::Options options;
    options.binary = CORVANE_BIN_DIR "/corvane-engine";
    EngineProcess fromFile(options);
    EXPECT_EQ(scopeNames(fromFile), std::vector<std::string>{"from-file"});
  }
  {
    auto typed = startEngine();
    EXPECT_EQ(scopeNames(*typed), (std::vector<std::string>{"docs", "pics"}));
  }
  writeText(configFile("engine.conf"), "log-retention = 0\n");
  expectCases("corvane-engine", {{{}, 2, "corvane-engine: --log-retention: 0 is too small"}},
              env.root());
  fs::remove(configFile("engine.conf"));

  auto engine = startEngine();
  // The mount's and fpctl's: the domain, by name.
  writeText(configFile("mount.conf"), "domain = pics\n");
  writeText(configFile("fpctl.conf"), "domain = pics\n");
  expectCases("corvane-mount",
              {
                  {{"--status"}, 0, "local-2\n  mount: not mounted"},
                  {{"--status", "--domain", "docs"}, 0, "local-1\n  mount: not mounted"},
              },
              env.root());
  expectCases("corvane-fpctl",
              {
                  {{"item", "only-in-pics.txt"}, 0, "identifier: only-in-pics.txt"},
                  {{"--domain", "docs", "item", "only-in-pics.txt"},
                   3,
                   "error: item only-in-pics.txt: NSFileProviderErrorDomain -1005"},
              },
              env.root());
  // A mistake in the file names the file; a command's options do not belong there.
  writeText(configFile("mount.conf"), "poll = 0\n");
  writeText(configFile("fpctl.conf"), "[fetch]\noutput = x\n");
  expectCases("corvane-mount", {{{"--status"}, 2, "corvane-mount: --poll: 0 is too small"}},
              env.root());
  expectCases(
      "corvane-fpctl",
      {{{"domains"},
        2,
        "corvane-fpctl: " + configFile("fpctl.conf").string() + ": 'fetch.output' cannot be set"}},
      env.root());
}

}  // namespace
}  // namespace corvane::testing
