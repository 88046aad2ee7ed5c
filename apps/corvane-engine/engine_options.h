// The engine's command line and the scopes it makes of it. Kept apart from
// main() so the rules (scope numbering, the embedded default, read-only
// names) can be tested without starting a server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/records.h"
#include "s3/s3_config.h"

namespace corvane::syncengine {

// A "[scope.NAME]" section of engine.conf: keys url, endpoint, region,
// profile, addressing, read-only, anonymous, as written.
struct ScopeSection {
  std::string name;
  std::map<std::string, std::string> values;
};

// The keys a scope's section may hold.
inline const std::vector<std::string> kScopeSectionKeys = {
    "url", "endpoint", "region", "profile", "addressing", "read-only", "anonymous"};

struct EngineOptions {
  std::vector<std::string> scopes;     // "NAME=DIR" or "NAME=s3://BUCKET[/PREFIX]", in order
  std::vector<ScopeSection> sections;  // after `scopes`, in the file's order
  std::vector<std::string> readOnly;   // scope names
  int port = 0;
  bool foreground = false;
  bool verbose = false;
  std::int64_t logRetention = 100'000;
  // Per-scope S3 settings, each "NAME=VALUE" for scope NAME or "VALUE" for
  // every bucket scope that has none of its own.
  std::vector<std::string> s3Endpoint;
  std::vector<std::string> s3Region;
  std::vector<std::string> s3Profile;
  std::vector<std::string> s3Addressing;  // "auto", "path" or "virtual"
  std::vector<std::string> s3Anonymous;  // scope names: unsigned requests, read-only
  double s3PollSeconds = 10;             // how often buckets are listed for others' changes
  // How long a bucket's folder stays watched after a host listed or changed
  // something in it.
  double s3WatchSeconds = 600;
  double s3FullScanSeconds = 3600;  // how often the whole prefix is compared
  int s3FullScanPage = 1000;        // keys per page of that comparison
};

// A configuration mistake, reported to the user as it is.
struct OptionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A mistake in how the options are written, which no folder or store could
// make right (a malformed or repeated scope, a --read-only name of no scope):
// a usage error, where an OptionError is a failure.
struct UsageError : OptionError {
  using OptionError::OptionError;
};

// One scope to serve. Its record's connection says which of the rest
// applies: "local" a folder, "s3" a bucket and prefix (the record's region
// and versioned are filled in once the bucket has been checked).
struct ScopeSetup {
  Scope record;
  std::filesystem::path folder;  // absolute; local scopes only
  s3::S3Options s3;              // bucket scopes only
  bool isBucket() const { return record.connection == "s3"; }
};

// The scopes to serve: one per --scope and per section with a url,
// numbered 1, 2, ... in order within each connection (local-1, s3-1,
// local-2, ...), or the embedded default "default" in
// `applicationSupport`/buckets/default (made, with a README.txt, when
// missing). A bucket scope's S3 settings are its own (--s3-region
// NAME=REGION, or its section's), else the default (--s3-region REGION). A
// section without url adds settings to a scope of the same name. Anonymous
// scopes are read-only. Throws UsageError for a malformed or repeated scope
// or setting, a bucket URL without a bucket, a name that names no scope, an
// S3 setting for a folder, or a section value that is not one; OptionError
// for a folder that does not exist or cannot be made.
std::vector<ScopeSetup> setUpScopes(const EngineOptions& options,
                                    const std::filesystem::path& applicationSupport);

// The change log's database for a scope: "changes-<name>.sqlite", with every
// byte outside A-Z a-z 0-9 . _ - written as %XX.
std::filesystem::path changeLogFile(const std::filesystem::path& applicationSupport,
                                    const std::string& scopeName);

}  // namespace corvane::syncengine
