// The runs of tamarind-cli over documents: the files of the command line
// (the folders of -R walked), or standard input. Each prints a result line
// for each document, the IMG tags left without a size (with -v), and the
// lines that end the run.
#pragma once

#include "CommandLine.h"
#include "Output.h"

namespace tamarind::cli {

// Processes (or, with -n or --diff, previews) the files of `s`, each file
// once under the first name that reaches it. Workers run side by side
// (`s.jobs`, or one per processor); the result lines come in the order of
// the list whatever their number. An interrupt starts no new file, and the
// run ends with 128 + the signal's number. Returns the exit status.
int RunFiles(const Settings& s, CheckedOutput& out);

// Standard input to standard output: the document rewritten, or its
// preview. Returns the exit status.
int RunStandardInput(const Settings& s, CheckedOutput& out);

}  // namespace tamarind::cli
