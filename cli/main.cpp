// tamarind-cli: gives every IMG tag of HTML files the size of its picture.
// Here the command line is read (CommandLine) and what it asks for is
// started: a text of the program's own, the sizes of pictures, or a run over
// documents (SiteRun).
#include <csignal>
#include <iostream>
#include <string>
#include <string_view>

#include "CommandLine.h"
#include "Interrupt.h"
#include "MainProc.h"
#include "MissReason.h"
#include "Output.h"
#include "SiteRun.h"
#include "files/StandardHandles.h"
#include "probe/Formats.h"

namespace {

using tamarind::cli::CheckedOutput;
using tamarind::cli::kExitFailed;
using tamarind::cli::kExitOk;
using tamarind::cli::Settings;

// Prints a text of the program's own (help, version), checked.
int PrintText(std::string_view text) {
  CheckedOutput out(tamarind::MessageLanguage::English);
  return out.Write(text) ? kExitOk : kExitFailed;
}

int PrintSizes(const Settings& s, CheckedOutput& out) {
  int status = kExitOk;
  for (const std::string& image : s.files) {
    const tamarind::ProbeResult probe = tamarind::ProbeImageFile(image, s.options.Formats);
    const std::string_view why = tamarind::RowOf(probe.reason).sizeText;
    if (why.empty()) {
      out.Write(image + ": " + std::to_string(probe.width) + "x" + std::to_string(probe.height) +
                "\n");
    } else {
      out.Write(image + ": no size (" + std::string(why) + ")\n");
      status = kExitFailed;
    }
  }
  return out.Failed() ? kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a page opened as a closed standard output
  // would get the program's messages.
  if (!tamarind::OpenClosedStandardHandles()) return kExitFailed;
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a failed write, reported as such
  Settings s;
  if (const auto end = tamarind::cli::ParseCommandLine(argc, argv, s)) {
    if (end->status == kExitOk) return PrintText(end->text);
    std::cerr << end->text;
    return end->status;
  }
  s.language = tamarind::cli::LocaleLanguage();
  const bool standardInput = s.files.size() == 1 && s.files[0] == "-";
  // Before any other thread: they all leave the signals to one.
  tamarind::cli::HandleInterrupts(s.sizeOnly || standardInput);
  CheckedOutput out(s.language);
  if (s.sizeOnly) return PrintSizes(s, out);
  if (standardInput) return tamarind::cli::RunStandardInput(s, out);
  return tamarind::cli::RunFiles(s, out);
}
