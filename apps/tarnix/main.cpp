// The tarnix command: a thin front over the host module's command implementations.
#include <CLI/CLI.hpp>

#include "host/Commands.hpp"

int main(int argc, char** argv) {
  CLI::App app{"Tarnix: a files-on-demand cloud drive"};
  app.require_subcommand(1);
  tarnix::host::registerCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return tarnix::host::commandExitStatus();
}
