// The command-line program, run as a user runs it: from a shell, in a folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/TestFiles.h"

namespace tamarind::test {

struct CliResult {
  int status;  // the exit status, or -1 when a signal ended the shell
  std::string out, err;
};

// Runs `prefix tamarind-cli args` with bash in the folder `dir`, standard
// input reading `input` (nothing when empty), standard output and error
// caught in the files .stdout and .stderr there. `args` are shell words and
// may go on with a pipe or a redirection of their own; `prefix` stands
// before the program: variables (by default LC_ALL=C, for English
// messages), or a program that starts it.
CliResult RunCli(const TempDir& dir, const std::string& args, const std::string& input = "",
                 const std::string& prefix = "LC_ALL=C");

// The tests of the program: each gets a fresh folder to run it in.
class CliFixture : public ::testing::Test {
 protected:
  CliResult Run(const std::string& args, const std::string& input = "",
                const std::string& prefix = "LC_ALL=C") {
    return RunCli(dir, args, input, prefix);
  }

  TempDir dir;
};

}  // namespace tamarind::test
