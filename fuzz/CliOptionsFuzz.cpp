// Fuzz target: the command line's reading on any words (the input split at
// each zero byte). Reading either ends the program with the help, the
// version or a usage error in its fixed form, or gives settings that hold
// together: files named, standard input alone, --site with --root, a root
// that is a folder. The same words always read the same, and the settings
// written back as options read as themselves.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "FuzzCheck.h"
#include "names/PictureName.h"

namespace {

using tamarind::ImageKind;
using tamarind::cli::EarlyExit;
using tamarind::cli::Settings;

struct Reading {
  std::optional<EarlyExit> end;
  Settings settings;
};

// Reads `words` as the program's arguments, from copies (getopt reorders
// them).
Reading Read(const std::vector<std::string>& words) {
  std::vector<std::string> copies{"tamarind-cli"};
  copies.insert(copies.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : copies) argv.push_back(word.data());
  argv.push_back(nullptr);
  Reading r;
  r.end = tamarind::cli::ParseCommandLine(static_cast<int>(copies.size()), argv.data(), r.settings);
  return r;
}

// The settings as options that say each of them, in one fixed order.
std::vector<std::string> AsOptions(const Settings& s) {
  static constexpr struct {
    const char* name;
    ImageKind kind;
  } kFormats[] = {{"gif", ImageKind::Gif},   {"jpeg", ImageKind::Jpeg}, {"png", ImageKind::Png},
                  {"webp", ImageKind::WebP}, {"bmp", ImageKind::Bmp},   {"avif", ImageKind::Avif},
                  {"svg", ImageKind::Svg},   {"jxl", ImageKind::Jxl},   {"ico", ImageKind::Ico}};
  const tamarind::ProcessingOptions& o = s.options;
  std::vector<std::string> words;
  const auto flag = [&](bool on, const char* word) {
    if (on) words.emplace_back(word);
  };
  flag(o.AddALTAttribute, "-a");
  flag(!o.MakeBAKFile, "-B");
  flag(o.Parameter_OverWrite, "-o");
  flag(o.Parameter_QuoteWrite, "-q");
  if (!o.Parameter_ABSFolder.empty()) words.push_back("--root=" + o.Parameter_ABSFolder);
  std::string formats;
  for (const auto& f : kFormats) {
    if (o.Formats.Has(f.kind)) formats += std::string(formats.empty() ? "" : ",") + f.name;
  }
  words.push_back("--formats=" + formats);
  for (const std::string& site : o.SiteUrls) words.push_back("--site=" + site);
  flag(s.verbose, "-v");
  flag(s.recursive, "-R");
  flag(s.followLinks, "-L");
  if (s.jobs != 0) words.push_back("--jobs=" + std::to_string(s.jobs));
  flag(s.dryRun && !s.diff, "-n");
  flag(s.diff, "--diff");
  flag(s.sizeOnly, "--size");
  flag(s.trace, "--trace");
  words.emplace_back("--");
  words.insert(words.end(), s.files.begin(), s.files.end());
  return words;
}

bool Same(const Reading& a, const Reading& b) {
  if (a.end.has_value() != b.end.has_value()) return false;
  if (a.end) return a.end->status == b.end->status && a.end->text == b.end->text;
  return AsOptions(a.settings) == AsOptions(b.settings);
}

bool StartsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

void CheckEnd(const EarlyExit& end) {
  if (end.status == tamarind::cli::kExitOk) {
    // The help, or the version line.
    Check(StartsWith(end.text, "Usage: tamarind-cli [OPTIONS] FILE...\n") ||
          (StartsWith(end.text, "tamarind-cli ") && end.text.find('\n') == end.text.size() - 1));
    return;
  }
  Check(end.status == tamarind::cli::kExitUsage);
  Check(StartsWith(end.text, "tamarind-cli: "));
  Check(EndsWith(end.text, "\nTry 'tamarind-cli --help' for more information.\n"));
}

void CheckSettings(const Settings& s, const std::vector<std::string>& words) {
  Check(!s.files.empty());
  for (const std::string& file : s.files) {
    bool given = false;
    for (const std::string& word : words) given = given || word == file;
    Check(given);
    Check(file != "-" || (s.files.size() == 1 && !s.recursive));
  }
  const std::string& root = s.options.Parameter_ABSFolder;
  Check(s.options.SiteUrls.empty() || !root.empty());
  Check(root.size() <= 1 || root.back() != '/');
  Check(s.jobs <= 1024);
  Check(!s.diff || s.dryRun);
  Check(s.options.Formats.Bits() != 0);
  for (const std::string& site : s.options.SiteUrls) Check(tamarind::IsSiteUrl(site));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words;
  for (size_t start = 0; start <= input.size();) {
    const size_t zero = std::min(input.find('\0', start), input.size());
    words.emplace_back(input.substr(start, zero - start));
    start = zero + 1;
  }
  const Reading first = Read(words);
  Check(Same(first, Read(words)));
  if (first.end) {
    CheckEnd(*first.end);
    return 0;
  }
  CheckSettings(first.settings, words);
  const Reading again = Read(AsOptions(first.settings));
  Check(!again.end && Same(first, again));
  return 0;
}
