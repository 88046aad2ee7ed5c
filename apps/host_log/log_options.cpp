#include "log_options.h"

namespace corvane::hostlog {

CLI::Option* addLogLevelOption(CLI::App& app, Level& level, const std::string& tool) {
  return app
      .add_option_function<std::string>(
          "--log-level", [&level](const std::string& name) { level = *parseLevel(name); },
          "How much the log says: error, warning, info or debug (default: info). The log goes "
          "to standard error and to $XDG_STATE_HOME/CorvaneSync/" +
              tool + ".log (else ~/.local/state/CorvaneSync/)")
      ->type_name("LEVEL")
      ->check(CLI::IsMember(levelNames()));
}

}  // namespace corvane::hostlog
