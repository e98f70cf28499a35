#include "support/RunCli.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace tamarind::test {

CliResult RunCli(const TempDir& dir, const std::string& args, const std::string& input,
                 const std::string& prefix) {
  const std::string in = input.empty() ? "/dev/null" : dir.Write(".stdin", input);
  const std::string line = "cd '" + dir.Path() + "' && { " + prefix + " '" TAMARIND_CLI "' " +
                           args + "; } <'" + in + "' >.stdout 2>.stderr";
  // Straight to bash, so the words need no quoting beyond what a prompt
  // needs.
  std::string shell = "bash", option = "-c", command = line;
  char* argv[] = {shell.data(), option.data(), command.data(), nullptr};
  pid_t child = 0;
  int raw = -1;
  if (::posix_spawnp(&child, "bash", nullptr, nullptr, argv, environ) == 0) {
    while (::waitpid(child, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  return {raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / ".stdout"),
          ReadFile(dir / ".stderr")};
}

}  // namespace tamarind::test
