// The command line of tamarind-cli: its options, read into the settings of
// a run. Reading prints nothing and touches no file; the program prints what
// it gives back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MainProc.h"
#include "files/FileIo.h"

namespace tamarind::cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Settings {
  ProcessingOptions options;
  bool recursive = false;
  bool dryRun = false;
  bool diff = false;
  bool sizeOnly = false;
  bool trace = false;
  bool verbose = false;
  bool followLinks = false;
  unsigned jobs = 0;  // 0: one per processor
  MessageLanguage language = MessageLanguage::English;
  std::vector<std::string> files;
};

// The end of the program before any run: the status to exit with, and the
// text to print, on standard output for status 0 (the help, the version),
// else on standard error (a usage error, with the hint to --help).
struct EarlyExit {
  int status = kExitOk;
  std::string text;
};

// Reads the arguments argv[1..argc) into `s`, as getopt_long reads them
// (options and files in any order, "--" ends the options, a long option
// may be shortened while it stays unambiguous). Returns nothing when the
// run goes on. getopt may reorder argv; it is read afresh on every call.
std::optional<EarlyExit> ParseCommandLine(int argc, char** argv, Settings& s);

}  // namespace tamarind::cli
