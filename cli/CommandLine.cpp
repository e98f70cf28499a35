// The options of tamarind-cli, one row each in a table that getopt's
// tables and the reading of each option's value are made from.
#include "CommandLine.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "names/PictureName.h"

#ifndef TAMARIND_VERSION
#define TAMARIND_VERSION "0.0.0"
#endif

namespace tamarind::cli {
namespace {

const char kUsage[] =
    "Usage: tamarind-cli [OPTIONS] FILE...\n"
    "       tamarind-cli [OPTIONS] -R FOLDER...\n"
    "       tamarind-cli [OPTIONS] -          (standard input to standard output)\n"
    "       tamarind-cli --size IMAGE...\n"
    "\n"
    "Adds width= and height= to every IMG tag of each HTML FILE, in place, from\n"
    "the header bytes of the picture its SRC names (GIF, JPEG, PNG, WebP, BMP,\n"
    "AVIF, SVG, JPEG XL or ICO), as a browser shows it. Each file gets a line\n"
    "\"FILE: N tags changed\", or \"FILE: unchanged\" when not one byte of it\n"
    "would change (it is then not written, and its backup stays as it was).\n"
    "A file reached twice (named twice, or through a link) is processed once;\n"
    "its other names get \"FILE: same file as FIRST\". A file that fails is\n"
    "reported and the others go on.\n"
    "Tags left without a size are counted at the end; -v lists them.\n"
    "\n"
    "What is written:\n"
    "  -a, --alt           add alt=\"file name\" to tags without ALT\n"
    "                        <img src=img/logo.gif>  ->  ... alt=\"logo.gif\"\n"
    "  -o, --overwrite     rebuild measured tags so new sizes replace old WIDTH/HEIGHT\n"
    "                        tamarind-cli -o page.html\n"
    "  -q, --quote         write the numbers between double quotes: width=\"120\"\n"
    "                      (XHTML documents always get them quoted)\n"
    "  -r, --root DIR      local folder standing for the web root, for SRC=\"/...\"\n"
    "                        tamarind-cli -r /var/www/html /var/www/html/index.html\n"
    "      --formats LIST  measure only these picture formats, from\n"
    "                      {formats} (all by default)\n"
    "                        tamarind-cli --formats gif,jpeg page.html   (as the wizard)\n"
    "  -x, --more-formats  measure every format (the default; kept for old scripts)\n"
    "      --site URL      links to this site (http or https, any host case, or\n"
    "                      //host/) name files under --root; repeatable\n"
    "                        tamarind-cli -R -r site --site https://example.com/ site\n"
    "\n"
    "Which files, and how:\n"
    "  -R, --recursive     process every *.html, *.htm, *.xhtml and *.xht below the\n"
    "                      FOLDERs given\n"
    "                      (hidden files and folders, and symbolic links, are\n"
    "                      passed over)\n"
    "                        tamarind-cli -R -r site site\n"
    "  -L, --follow-links  with -R, follow symbolic links to folders and files,\n"
    "                      also out of the FOLDER given\n"
    "                        tamarind-cli -R -L site\n"
    "  -j, --jobs N        process N files at a time (default: one per processor)\n"
    "                        tamarind-cli -R -j 4 site\n"
    "  -B, --no-backup     do not keep each file as it was under NAME.bak\n"
    "                      (backups are made by default)\n"
    "\n"
    "Looking before writing:\n"
    "  -n, --dry-run       write nothing (no backup either); print what would change;\n"
    "                      pages are only read, so read-only pages are previewed too\n"
    "                        tamarind-cli -n -R site\n"
    "      --diff          print a unified diff of what would change, write nothing;\n"
    "                      the counts go to standard error, so the diff can be saved\n"
    "                      and applied later with patch -p0 (names with a TAB, line\n"
    "                      break, quote or backslash are quoted as git does: \"a\\tb\")\n"
    "                        tamarind-cli --diff -R site > site.patch\n"
    "\n"
    "Other:\n"
    "      --size          print IMAGE: WIDTHxHEIGHT (or IMAGE: no size (WHY)), change\n"
    "                      nothing\n"
    "                        tamarind-cli --size photos/pods.jpg\n"
    "  -v, --verbose       list every IMG tag left without a size, and why, on\n"
    "                      standard error as FILE:LINE: SRC: REASON\n"
    "                        tamarind-cli -v -R site\n"
    "      --trace         write the rewriter's trace lines to standard error\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Files are replaced safely: the new contents are flushed to disk (one sync\n"
    "for a batch; at most 64 files wait at once) before they are renamed over\n"
    "the document, which keeps its mode, group, ACL and attributes. A file with\n"
    "other hard links is written in place after a flushed copy, so that every\n"
    "name sees the new text. Messages are in Japanese in a Japanese locale.\n"
    "\n"
    "Ctrl-C (SIGINT), SIGTERM or SIGHUP stop the run between files: the files\n"
    "in progress are finished, the summary so far is printed; a second signal\n"
    "ends the program at once. No temporary file is left either way.\n"
    "\n"
    "Exit status: 0 all went well, 1 a file failed (or, with --size, a picture\n"
    "gave no size, or standard output could not be written), 2 wrong usage (then\n"
    "nothing is touched), 128+N stopped by signal N (130 SIGINT, 143 SIGTERM,\n"
    "129 SIGHUP).\n";

using Step = std::optional<EarlyExit>;

Step UsageError(const std::string& message) {
  return EarlyExit{kExitUsage, "tamarind-cli: " + message + "\n" +
                                   "Try 'tamarind-cli --help' for more information.\n"};
}

// One option: its long name, its letter (0 for none), whether it takes a
// value, and what it does to the settings. A step that ends the program
// (a bad value, --help) says so; the others return nothing.
struct Option {
  const char* name;
  char letter;
  bool takesValue;
  Step (*apply)(Settings& s, const char* value);
};

Step ReadJobs(Settings& s, const char* value) {
  char* end = nullptr;
  const long n = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || n < 1 || n > 1024) {
    return UsageError(std::string("--jobs wants a number from 1 to 1024, not '") + value + "'");
  }
  s.jobs = static_cast<unsigned>(n);
  return {};
}

Step ReadFormats(Settings& s, const char* value) {
  std::string bad;
  if (!ImageFormats::Parse(value, s.options.Formats, bad)) {
    return UsageError("--formats: unknown format '" + bad +
                      "' (known: " + FormatList(ImageFormats::All(), ",") + ")");
  }
  return {};
}

Step ReadSite(Settings& s, const char* value) {
  if (!IsSiteUrl(value)) {
    return UsageError(std::string("--site wants an http:// or https:// address such as "
                                  "https://example.com/, not '") +
                      value + "'");
  }
  s.options.SiteUrls.emplace_back(value);
  return {};
}

// The options that only turn something on (or, for -B, off).
template <bool ProcessingOptions::*Flag, bool Value = true>
Step SetOption(Settings& s, const char*) {
  s.options.*Flag = Value;
  return {};
}
template <bool Settings::*Flag>
Step Set(Settings& s, const char*) {
  s.*Flag = true;
  return {};
}

Step SetRoot(Settings& s, const char* value) {
  s.options.Parameter_ABSFolder = value;
  return {};
}

Step MeasureAll(Settings& s, const char*) {
  s.options.Formats = ImageFormats::All();
  return {};
}

Step SetDiff(Settings& s, const char*) {
  s.diff = s.dryRun = true;
  return {};
}

Step Help(Settings&, const char*) {
  // The formats come from the format table, so the help cannot miss one.
  std::string usage = kUsage;
  const size_t at = usage.find("{formats}");
  usage.replace(at, sizeof "{formats}" - 1, FormatList(ImageFormats::All(), ","));
  return EarlyExit{kExitOk, usage};
}

Step Version(Settings&, const char*) {
  return EarlyExit{kExitOk, "tamarind-cli " TAMARIND_VERSION "\n"};
}

// In the order of the help; getopt knows them in this order too.
constexpr Option kOptions[] = {
    {"alt", 'a', false, SetOption<&ProcessingOptions::AddALTAttribute>},
    {"no-backup", 'B', false, SetOption<&ProcessingOptions::MakeBAKFile, false>},
    {"overwrite", 'o', false, SetOption<&ProcessingOptions::Parameter_OverWrite>},
    {"quote", 'q', false, SetOption<&ProcessingOptions::Parameter_QuoteWrite>},
    {"root", 'r', true, SetRoot},
    {"more-formats", 'x', false, MeasureAll},
    {"formats", 0, true, ReadFormats},
    {"site", 0, true, ReadSite},
    {"verbose", 'v', false, Set<&Settings::verbose>},
    {"recursive", 'R', false, Set<&Settings::recursive>},
    {"follow-links", 'L', false, Set<&Settings::followLinks>},
    {"jobs", 'j', true, ReadJobs},
    {"dry-run", 'n', false, Set<&Settings::dryRun>},
    {"diff", 0, false, SetDiff},
    {"size", 0, false, Set<&Settings::sizeOnly>},
    {"trace", 0, false, Set<&Settings::trace>},
    {"help", 'h', false, Help},
    {"version", 0, false, Version},
};
constexpr size_t kOptionCount = std::size(kOptions);

// What getopt_long returns for an option without a letter: a number past
// every byte, one per row.
constexpr int kLongOnly = 256;

int GetoptValue(size_t row) {
  return kOptions[row].letter != 0 ? kOptions[row].letter : kLongOnly + static_cast<int>(row);
}

// getopt_long's two tables, made once from kOptions: the letters (":" first,
// so that a missing value is told from an unknown option) and the long
// names, ended by a row of zeros.
struct GetoptTables {
  std::string letters = ":";
  option names[kOptionCount + 1] = {};

  GetoptTables() {
    for (size_t row = 0; row < kOptionCount; ++row) {
      const Option& o = kOptions[row];
      if (o.letter != 0) letters += std::string(1, o.letter) + (o.takesValue ? ":" : "");
      names[row] = {o.name, o.takesValue ? required_argument : no_argument, nullptr,
                    GetoptValue(row)};
    }
  }
};

// The option getopt stopped at, as the user wrote it: "--root", "-z".
std::string OffendingOption(char** argv) {
  const std::string word = argv[optind - 1];
  if (word.rfind("--", 0) == 0) return word.substr(0, word.find('='));
  // A short option may stand inside a cluster ("-Bz"): name it alone.
  return std::string("-") + static_cast<char>(optopt);
}

// Reads the options; each takes effect as it is read.
Step ReadOptions(int argc, char** argv, Settings& s) {
  static const GetoptTables tables;
  optind = 0;  // getopt starts afresh, as on its first call
  opterr = 0;  // messages of our own
  for (;;) {
    const int c = getopt_long(argc, argv, tables.letters.c_str(), tables.names, nullptr);
    if (c == -1) return {};
    if (c == ':') return UsageError("option '" + OffendingOption(argv) + "' needs a value");
    size_t row = 0;
    while (row < kOptionCount && GetoptValue(row) != c) ++row;
    if (row == kOptionCount) return UsageError("unknown option '" + OffendingOption(argv) + "'");
    if (Step end = kOptions[row].apply(s, optarg)) return end;
  }
}

// What the options mean only together, and the files.
Step CheckSettings(Settings& s) {
  if (!s.options.SiteUrls.empty() && s.options.Parameter_ABSFolder.empty()) {
    return UsageError("--site needs --root: the folder its addresses stand for");
  }
  if (s.files.empty()) return UsageError("no file given");
  const bool standardInput = std::find(s.files.begin(), s.files.end(), "-") != s.files.end();
  if (standardInput && s.files.size() > 1) return UsageError("'-' (standard input) stands alone");
  if (standardInput && s.recursive) return UsageError("option '-R' wants folders, not '-'");
  // The root folder stands in front of a SRC value that begins with "/";
  // a trailing "/" of its own would only double that one.
  std::string& root = s.options.Parameter_ABSFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (!root.empty()) {
    // A mistyped root would leave every rooted picture without a size,
    // file after file: better said once, before anything is touched.
    struct stat st {};
    if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return UsageError("option '--root' wants an existing folder, not '" + root + "'");
    }
  }
  return {};
}

}  // namespace

std::optional<EarlyExit> ParseCommandLine(int argc, char** argv, Settings& s) {
  s.options.MakeBAKFile = true;
  s.options.Formats = ImageFormats::All();
  if (Step end = ReadOptions(argc, argv, s)) return end;
  s.files.assign(argv + optind, argv + argc);
  return CheckSettings(s);
}

}  // namespace tamarind::cli
