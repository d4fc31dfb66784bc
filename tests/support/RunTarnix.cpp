#include "support/RunTarnix.hpp"

#include <sys/wait.h>

#include <cstdio>

#include "support/TempDir.hpp"

namespace tarnix::testing {

ProgramRun runTarnix(const std::string& arguments, const std::string& environment) {
  const auto command = environment + (environment.empty() ? "" : " ") +
                       (binaryDir() / "apps" / "tarnix" / "tarnix").string() + " " + arguments +
                       " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  ProgramRun run;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace tarnix::testing
