// The tarnix command: a thin front over the host module's command implementations.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "base/FileLogSink.hpp"
#include "host/Commands.hpp"

namespace {

// A command may leave work of the provider running in the background (a listing being
// written, a transfer in flight) when it has its answer. Ending the process through the
// normal exit path would destroy static objects and shut the TLS library down under that
// work, so the process ends once output and logs are on disk, without those handlers.
[[noreturn]] void finish(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  tarnix::base::FileLogSink::flushAll();
  std::quick_exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Tarnix: a files-on-demand cloud drive"};
  app.require_subcommand(1);
  tarnix::host::registerCommands(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    finish(app.exit(e));
  }
  finish(tarnix::host::commandExitStatus());
}
