// tamarind-cli: gives every IMG tag of HTML files the size of its picture.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Diff.h"
#include "Interrupt.h"
#include "MainProc.h"
#include "Output.h"
#include "PathName.h"
#include "PictureName.h"
#include "SiteWalker.h"
#include "StandardHandles.h"

#ifndef TAMARIND_VERSION
#define TAMARIND_VERSION "0.0.0"
#endif

namespace {

using tamarind::MainProc;
using tamarind::cli::CheckedOutput;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

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
    "                      gif,jpeg,png,webp,bmp,avif,svg,jxl,ico (all by default)\n"
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

struct Settings {
  tamarind::ProcessingOptions options;
  bool recursive = false;
  bool dryRun = false;
  bool diff = false;
  bool sizeOnly = false;
  bool trace = false;
  bool verbose = false;
  bool followLinks = false;
  unsigned jobs = 0;  // 0: one per processor
  tamarind::MessageLanguage language = tamarind::MessageLanguage::English;
  std::vector<std::string> files;
};

int UsageError(const std::string& message) {
  std::cerr << "tamarind-cli: " << message << "\n"
            << "Try 'tamarind-cli --help' for more information.\n";
  return kExitUsage;
}

// The option getopt stopped at, as the user wrote it: "--root", "-z".
std::string OffendingOption(char** argv) {
  const std::string word = argv[optind - 1];
  if (word.rfind("--", 0) == 0) return word.substr(0, word.find('='));
  // A short option may stand inside a cluster ("-Bz"): name it alone.
  return std::string("-") + static_cast<char>(optopt);
}

// Prints a text of the program's own (help, version), checked.
int PrintText(const char* text) {
  CheckedOutput out(tamarind::MessageLanguage::English);
  return out.Write(text) ? kExitOk : kExitFailed;
}

// Reads the command line into `s`. Returns -1 to go on, else the exit status.
int ParseCommandLine(int argc, char** argv, Settings& s) {
  enum { kOptSize = 256, kOptTrace, kOptVersion, kOptDiff, kOptFormats, kOptSite };
  static const option kLongOptions[] = {
      {"alt", no_argument, nullptr, 'a'},
      {"no-backup", no_argument, nullptr, 'B'},
      {"overwrite", no_argument, nullptr, 'o'},
      {"quote", no_argument, nullptr, 'q'},
      {"root", required_argument, nullptr, 'r'},
      {"more-formats", no_argument, nullptr, 'x'},
      {"formats", required_argument, nullptr, kOptFormats},
      {"site", required_argument, nullptr, kOptSite},
      {"verbose", no_argument, nullptr, 'v'},
      {"recursive", no_argument, nullptr, 'R'},
      {"follow-links", no_argument, nullptr, 'L'},
      {"jobs", required_argument, nullptr, 'j'},
      {"dry-run", no_argument, nullptr, 'n'},
      {"diff", no_argument, nullptr, kOptDiff},
      {"size", no_argument, nullptr, kOptSize},
      {"trace", no_argument, nullptr, kOptTrace},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kOptVersion},
      {nullptr, 0, nullptr, 0},
  };
  s.options.MakeBAKFile = true;
  s.options.Formats = tamarind::ImageFormats::All();
  opterr = 0;  // messages of our own
  for (;;) {
    const int c = getopt_long(argc, argv, ":aBoqr:xRLj:nvh", kLongOptions, nullptr);
    if (c == -1) break;
    switch (c) {
      case 'a':
        s.options.AddALTAttribute = true;
        break;
      case 'B':
        s.options.MakeBAKFile = false;
        break;
      case 'o':
        s.options.Parameter_OverWrite = true;
        break;
      case 'q':
        s.options.Parameter_QuoteWrite = true;
        break;
      case 'r':
        s.options.Parameter_ABSFolder = optarg;
        break;
      case 'x':
        s.options.Formats = tamarind::ImageFormats::All();
        break;
      case kOptFormats: {
        std::string bad;
        if (!tamarind::ImageFormats::Parse(optarg, s.options.Formats, bad)) {
          return UsageError("--formats: unknown format '" + bad +
                            "' (known: gif,jpeg,png,webp,bmp,avif,svg,jxl,ico)");
        }
        break;
      }
      case kOptSite:
        if (!tamarind::IsSiteUrl(optarg)) {
          return UsageError(std::string("--site wants an http:// or https:// address such as "
                                        "https://example.com/, not '") +
                            optarg + "'");
        }
        s.options.SiteUrls.emplace_back(optarg);
        break;
      case 'v':
        s.verbose = true;
        break;
      case 'R':
        s.recursive = true;
        break;
      case 'L':
        s.followLinks = true;
        break;
      case 'j': {
        char* end = nullptr;
        const long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || n < 1 || n > 1024) {
          return UsageError(std::string("--jobs wants a number from 1 to 1024, not '") + optarg +
                            "'");
        }
        s.jobs = static_cast<unsigned>(n);
        break;
      }
      case 'n':
        s.dryRun = true;
        break;
      case kOptDiff:
        s.diff = s.dryRun = true;
        break;
      case kOptSize:
        s.sizeOnly = true;
        break;
      case kOptTrace:
        s.trace = true;
        break;
      case 'h':
        return PrintText(kUsage);
      case kOptVersion:
        return PrintText("tamarind-cli " TAMARIND_VERSION "\n");
      case ':':
        return UsageError("option '" + OffendingOption(argv) + "' needs a value");
      default:
        return UsageError("unknown option '" + OffendingOption(argv) + "'");
    }
  }
  if (!s.options.SiteUrls.empty() && s.options.Parameter_ABSFolder.empty()) {
    return UsageError("--site needs --root: the folder its addresses stand for");
  }
  s.files.assign(argv + optind, argv + argc);
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
  return -1;
}

int PrintSizes(const Settings& s, CheckedOutput& out) {
  int status = kExitOk;
  for (const std::string& image : s.files) {
    const tamarind::ProbeResult probe = tamarind::ProbeImageFile(image, s.options.Formats);
    std::string why;
    switch (probe.outcome) {
      case tamarind::ProbeOutcome::Found:
        break;
      case tamarind::ProbeOutcome::NoFile:
        why = "no such file";
        break;
      case tamarind::ProbeOutcome::Folder:
        why = "a folder";
        break;
      case tamarind::ProbeOutcome::NotMeasured:
        why = "not a picture format measured";
        break;
      case tamarind::ProbeOutcome::Unreadable:
        why = "cannot be read";
        break;
      case tamarind::ProbeOutcome::NoSize:
        why = "no size in the header";
        break;
      case tamarind::ProbeOutcome::NoOwnSize:
        why = "SVG without width and height";
        break;
    }
    if (why.empty()) {
      out.Write(image + ": " + std::to_string(probe.width) + "x" + std::to_string(probe.height) +
                "\n");
    } else {
      out.Write(image + ": no size (" + why + ")\n");
      status = kExitFailed;
    }
  }
  return out.Failed() ? kExitFailed : status;
}

// The IMG tags a run left without a size, by reason, for the line that ends
// the run.
struct MissCounts {
  static constexpr size_t kReasons = static_cast<size_t>(tamarind::MissReason::NoOwnSize) + 1;
  std::array<size_t, kReasons> byReason{};
  size_t Total() const {
    size_t total = 0;
    for (size_t n : byReason) total += n;
    return total;
  }
  void Add(tamarind::MissReason reason) { ++byReason[static_cast<size_t>(reason)]; }
  void Add(const MissCounts& other) {
    for (size_t i = 0; i < kReasons; ++i) byReason[i] += other.byReason[i];
  }
};

// The extension of a picture's name as a person reads it: ".tiff".
std::string ExtensionText(const std::string& path) {
  const std::string_view ext = tamarind::ExtensionOf(path);
  return ext.size() > 1 ? std::string(ext) : "no extension";
}

std::string MissText(const tamarind::ImageMiss& m) {
  using tamarind::MissReason;
  switch (m.reason) {
    case MissReason::NoPicture:
      return "no picture at " + m.path;
    case MissReason::NotMeasured:
      // A format the program knows but was told to leave, or one it does
      // not know at all.
      if (m.extension != tamarind::ImageKind::None) {
        return std::string(tamarind::FormatTitle(m.extension)) + " not in --formats";
      }
      return "format not measured: " + ExtensionText(m.path);
    case MissReason::NoSize:
      return "no size in the picture's header";
    case MissReason::Unreadable:
      return "cannot read the picture at " + m.path;
    case MissReason::Remote:
      return "remote picture";
    case MissReason::EmptySrc:
      return "empty SRC";
    case MissReason::NotClosed:
      return "IMG tag not closed";
    case MissReason::InsideText:
      return "inside <" + std::string(m.detail) + "> text: browsers do not show it";
    case MissReason::Percentage:
      return std::string(m.detail) + " is a percentage";
    case MissReason::NotANumber:
      return std::string(m.detail) + " is not a number";
    case MissReason::TooLarge:
      return std::string(m.detail) + " is too large";
    case MissReason::NoOwnSize:
      return "SVG without a size of its own";
  }
  return {};
}

// The misses of one document: counted, and listed (FILE:LINE: SRC: REASON,
// the form editors and build logs link to) when asked for.
void ReportMisses(const MainProc& engine, const std::string& file, bool list, MissCounts& counts,
                  std::string& out) {
  for (const tamarind::ImageMiss& m : engine.Misses()) {
    counts.Add(m.reason);
    if (!list) continue;
    out += file;
    out += ':';
    out += std::to_string(m.line);
    out += ": ";
    out += m.src;
    out += ": ";
    out += MissText(m);
    out += '\n';
  }
}

// "tamarind-cli: 12 IMG tags left without a size (9 no picture, 3 format not
// measured); -v lists them", or nothing when every tag got its size.
void PrintMissSummary(const MissCounts& counts, bool listed) {
  const size_t total = counts.Total();
  if (total == 0) return;
  static constexpr const char* kNames[MissCounts::kReasons] = {"no picture",
                                                               "format not measured",
                                                               "no size in the header",
                                                               "unreadable",
                                                               "remote",
                                                               "empty SRC",
                                                               "not closed",
                                                               "inside element text",
                                                               "percentage",
                                                               "not a number",
                                                               "too large",
                                                               "SVG without a size of its own"};
  std::string line = "tamarind-cli: " + std::to_string(total) +
                     (total == 1 ? " IMG tag" : " IMG tags") + " left without a size (";
  const char* separator = "";
  for (size_t i = 0; i < MissCounts::kReasons; ++i) {
    if (counts.byReason[i] == 0) continue;
    line += separator + std::to_string(counts.byReason[i]) + " " + kNames[i];
    separator = ", ";
  }
  line += listed ? ")\n" : "); -v lists them\n";
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

// The rewritten document on standard output.
class StandardOutput : public tamarind::DocumentOutput {
 public:
  explicit StandardOutput(CheckedOutput& out) : out_(out) {}
  void Write(std::string_view bytes) override { out_.Append(bytes); }

 private:
  CheckedOutput& out_;
};

// The time now, for the header of a diff of standard input.
std::string Now() {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return tamarind::cli::DiffTime(now);
}

// Output that is only counted: a dry run without a diff.
class NoOutput : public tamarind::DocumentOutput {
 public:
  void Write(std::string_view) override {}
};

void TraceTo(MainProc& engine, std::string& sink) {
  engine.trace = [&sink](std::string_view line) {
    sink.append(line);
    sink += '\n';
  };
}

int ProcessStandardInput(const Settings& s, CheckedOutput& out) {
  MainProc engine;
  engine.options = s.options;
  std::string trace;
  if (s.trace) TraceTo(engine, trace);
  engine.collectMisses = true;
  try {
    std::string count;
    if (s.diff) {
      tamarind::cli::ChangeRecorder recorder;
      const int changed = engine.ProcessStream(STDIN_FILENO, recorder);
      recorder.Finish();
      const std::string now = Now();
      out.Write(tamarind::cli::UnifiedDiff("-", recorder.oldText, recorder.newText,
                                           recorder.changes, now, now));
      count = "-: " + std::to_string(changed) + " tags would change\n";
    } else if (s.dryRun) {
      NoOutput nothing;
      const int changed = engine.ProcessStream(STDIN_FILENO, nothing);
      out.Write("-: " + std::to_string(changed) + " tags would change\n");
    } else {
      StandardOutput document(out);
      const int changed = engine.ProcessStream(STDIN_FILENO, document);
      out.Flush();
      count = "-: " + std::to_string(changed) + " tags changed\n";
    }
    MissCounts misses;
    std::string list;
    ReportMisses(engine, "-", s.verbose, misses, list);
    std::cerr << trace << list << count;
    PrintMissSummary(misses, s.verbose);
    return out.Failed() ? kExitFailed : kExitOk;
  } catch (const std::exception& e) {
    out.Flush();
    std::cerr << trace << "tamarind-cli: -: " << tamarind::cli::ErrorText(e, s.language) << "\n";
    return kExitFailed;
  }
}

// One name of the list of files: a document, another name of a file met
// before, or a folder named without -R.
struct Entry {
  std::string name;
  std::string sameAs;  // the name the file was first met under
  bool folder = false;
};

// What a run did, for the line that ends it.
struct Totals {
  size_t processed = 0;
  size_t failed = 0;
  size_t tags = 0;
  size_t notStarted = 0;
  MissCounts misses;
};

// What became of one file, ready to be printed.
struct Outcome {
  bool done = false;
  bool failed = false;
  bool counted = true;  // false for another name of a file met before
  int changed = 0;
  MissCounts misses;
  std::string out;  // the count line (or the diff)
  std::string err;  // trace lines, the error (and the count line of a diff)
};

// Processes a list of files: workers, each with an engine of its own, run
// the files up to the point where the new contents stand written beside
// them and hand them to one SafeWriter, which puts them in place many at a
// time (and keeps the workers waiting while its places are all taken); one
// thread prints the outcomes in the order of the list, so the output does
// not depend on the number of workers. An interrupt starts no new file.
class Batch {
 public:
  Batch(const Settings& s, std::vector<Entry> entries, CheckedOutput& out)
      : settings_(s), entries_(std::move(entries)), outcomes_(entries_.size()), out_(out) {}

  Totals Run(unsigned jobs) {
    ClaimAndRestore();
    const auto sizes = std::make_shared<tamarind::ImageSizeCache>();
    workers_ = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(entries_.size())));
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < workers_; ++i) threads.emplace_back([this, sizes] { Work(sizes); });
    std::thread printer([this] { Print(); });
    Work(sizes);
    for (std::thread& t : threads) t.join();
    writer_.Finish();  // the last files in place
    printer.join();
    return totals_;
  }

 private:
  void Work(const std::shared_ptr<tamarind::ImageSizeCache>& sizes) {
    MainProc engine;
    engine.options = settings_.options;
    engine.options.WriteBackMode = tamarind::WriteBack::WhenChanged;
    engine.collectMisses = true;
    engine.ShareImageSizes(sizes);
    for (;;) {
      if (tamarind::cli::InterruptSignal() != 0) break;
      const size_t i = next_++;
      if (i >= entries_.size()) break;
      const Entry& e = entries_[i];
      Outcome o;
      if (!e.sameAs.empty()) {
        o.counted = false;
        o.err = notes_[i];
        // With --diff, standard output is the patch alone.
        (settings_.diff ? o.err : o.out) += e.name + ": same file as " + e.sameAs + "\n";
        Publish(i, std::move(o));
        continue;
      }
      if (const auto held = held_.find(e.name); held != held_.end()) {
        o.failed = true;
        o.err = "tamarind-cli: " + e.name + ": " + held->second + "\n";
        Publish(i, std::move(o));
        continue;
      }
      if (e.folder) {
        o.failed = true;
        o.err = "tamarind-cli: " + e.name + ": is a folder; use -R\n";
        Publish(i, std::move(o));
        continue;
      }
      std::unique_ptr<tamarind::PreparedDocument> prepared;
      Process(engine, e.name, o, prepared);
      if (!prepared) {
        Publish(i, std::move(o));
      } else if (prepared->Unchanged()) {
        // Not one byte would change: the file, its date and its backup
        // stay as they are.
        o.out = e.name + ": unchanged\n";
        Publish(i, std::move(o));
      } else {
        writer_.Submit(std::move(prepared),
                       [this, i, o](std::unique_ptr<tamarind::PreparedDocument> d) mutable {
                         try {
                           d->ThrowIfFailed();
                           o.out =
                               d->FileName() + ": " + std::to_string(o.changed) + " tags changed\n";
                         } catch (const std::exception& ex) {
                           Fail(o, d->FileName(), ex);
                         }
                         Publish(i, std::move(o));
                       });
      }
    }
    std::lock_guard lock(mutex_);
    ++workersDone_;
    changed_.notify_all();
  }

  // Before any worker starts. The backup names are claimed in the order of
  // the list, so that of two documents sharing one the first keeps it,
  // whatever the workers do. A file is prepared under its first name only,
  // which puts it back from its journal; a journal left under one of its
  // other names (a hard link) is put back here, before the file is read, or
  // else the file is held back.
  void ClaimAndRestore() {
    MainProc engine;
    engine.options = settings_.options;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const Entry& e = entries_[i];
      if (e.folder) continue;
      if (e.sameAs.empty()) {
        if (!settings_.dryRun) engine.ClaimBackupName(e.name, writer_);
        continue;
      }
      try {
        if (settings_.dryRun) {
          tamarind::RefuseInterruptedWrite(e.name);
        } else if (const std::string journal = tamarind::RestoreFromJournal(e.name);
                   !journal.empty()) {
          notes_[i] = "tamarind-cli: " + e.name + ": restored from " + journal +
                      ", left by an interrupted run\n";
        }
      } catch (const std::exception& ex) {
        held_[e.sameAs] = "not processed, for its other name " + e.name + ": " +
                          tamarind::cli::ErrorText(ex, settings_.language);
      }
    }
  }

  // Runs a file up to the point where its new contents stand written beside
  // it (or, for a preview, all the way).
  void Process(MainProc& engine, const std::string& file, Outcome& o,
               std::unique_ptr<tamarind::PreparedDocument>& prepared) {
    if (settings_.trace) TraceTo(engine, o.err);
    try {
      if (!settings_.dryRun) {
        prepared = engine.PrepareFile(file, writer_);
        o.changed = prepared->Changed();
      } else if (settings_.diff) {
        struct stat st {};
        ::stat(file.c_str(), &st);
        tamarind::cli::ChangeRecorder recorder;
        o.changed = engine.PreviewFile(file, recorder);
        recorder.Finish();
        o.err += file + ": " + std::to_string(o.changed) + " tags would change\n";
        // A page reached through a link is patched where it really is.
        o.out = tamarind::cli::UnifiedDiff(tamarind::cli::LinkTargetName(file), recorder.oldText,
                                           recorder.newText, recorder.changes,
                                           tamarind::cli::DiffTime(st.st_mtim), Now());
      } else {
        NoOutput nothing;
        o.changed = engine.PreviewFile(file, nothing);
        o.out = file + ": " + std::to_string(o.changed) + " tags would change\n";
      }
      ReportMisses(engine, file, settings_.verbose, o.misses, o.err);
    } catch (const std::exception& e) {
      prepared.reset();
      Fail(o, file, e);
    }
    if (!engine.Restored().empty()) {
      o.err.insert(0, "tamarind-cli: " + file + ": restored from " + engine.Restored() +
                          ", left by an interrupted run\n");
    }
    engine.trace = nullptr;
  }

  // EInOutError says what went wrong with the file; anything else (no memory
  // for a huge tag) is reported the same way, and the next file still goes.
  void Fail(Outcome& o, const std::string& file, const std::exception& e) const {
    o.failed = true;
    o.changed = 0;
    o.misses = {};
    o.err +=
        "tamarind-cli: " + file + ": " + tamarind::cli::ErrorText(e, settings_.language) + "\n";
  }

  void Publish(size_t index, Outcome o) {
    std::lock_guard lock(mutex_);
    outcomes_[index] = std::move(o);
    outcomes_[index].done = true;
    changed_.notify_all();
  }

  void Print() {
    // A progress line on a terminal, for more than a few files; cleared
    // before each line of output and at the end.
    const bool progress = ::isatty(STDOUT_FILENO) && entries_.size() > 3;
    for (size_t i = 0; i < entries_.size(); ++i) {
      Outcome o;
      {
        std::unique_lock lock(mutex_);
        // A file that no worker took (the run was interrupted) ends the list.
        changed_.wait(
            lock, [&] { return outcomes_[i].done || (workersDone_ == workers_ && i >= next_); });
        if (!outcomes_[i].done) {
          totals_.notStarted = entries_.size() - i;
          break;
        }
        o = std::move(outcomes_[i]);
      }
      if (progress) out_.Write("\r\033[K");
      std::fwrite(o.err.data(), 1, o.err.size(), stderr);
      out_.Write(o.out);
      totals_.processed += o.counted ? 1 : 0;
      totals_.failed += o.failed ? 1 : 0;
      totals_.tags += static_cast<size_t>(o.changed);
      totals_.misses.Add(o.misses);
      if (progress && i + 1 < entries_.size()) {
        out_.Write(std::to_string(i + 1) + "/" + std::to_string(entries_.size()) + " files");
      }
    }
    if (progress && totals_.notStarted > 0) out_.Write("\r\033[K");
  }

  const Settings& settings_;
  const std::vector<Entry> entries_;
  std::vector<Outcome> outcomes_;
  std::vector<std::string> notes_ = std::vector<std::string>(entries_.size());
  std::map<std::string, std::string> held_;  // by a file's first name: why not
  CheckedOutput& out_;
  tamarind::SafeWriter writer_;
  std::atomic<size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned workers_ = 0;
  unsigned workersDone_ = 0;
  Totals totals_;
};

// The journals met in the folders walked whose document is not in the list:
// left alone, for a run on their document puts it back from them.
void NoteOtherJournals(const std::vector<Entry>& entries, std::vector<std::string> journals) {
  std::set<std::string> own;
  for (const Entry& e : entries) own.insert(tamarind::JournalNameOf(e.name));
  std::sort(journals.begin(), journals.end());
  for (const std::string& journal : journals) {
    if (own.count(journal) != 0) continue;
    std::cerr << "tamarind-cli: " << journal
              << ": left alone: the journal of an interrupted write of a page not in this run\n";
  }
}

// The list of files to process: the folders of -R walked, and each file
// once, under the first name that reaches it.
std::vector<Entry> ListFiles(const Settings& s, std::vector<std::string>& problems) {
  std::vector<Entry> entries;
  std::vector<std::string> journals;
  std::map<std::pair<dev_t, ino_t>, std::string> seen;
  const auto add = [&](const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return entries.push_back({name, {}, true});
      const auto [first, fresh] = seen.emplace(std::make_pair(st.st_dev, st.st_ino), name);
      if (!fresh) return entries.push_back({name, first->second, false});
    }
    entries.push_back({name, {}, false});  // a missing file fails when it is opened
  };
  for (const std::string& file : s.files) {
    struct stat st {};
    if (s.recursive && ::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      std::vector<std::string> documents;
      tamarind::cli::CollectDocuments(
          file, documents, problems,
          s.followLinks ? tamarind::cli::Links::Follow : tamarind::cli::Links::Skip, &journals);
      for (const std::string& document : documents) add(document);
    } else {
      add(file);
    }
  }
  NoteOtherJournals(entries, std::move(journals));
  return entries;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a page opened as a closed standard output
  // would get the program's messages.
  if (!tamarind::OpenClosedStandardHandles()) return kExitFailed;
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a failed write, reported as such
  Settings s;
  if (const int status = ParseCommandLine(argc, argv, s); status >= 0) return status;
  s.language = tamarind::cli::LocaleLanguage();
  const bool standardInput = s.files.size() == 1 && s.files[0] == "-";
  // Before any other thread: they all leave the signals to one.
  tamarind::cli::HandleInterrupts(s.sizeOnly || standardInput);
  CheckedOutput out(s.language);
  if (s.sizeOnly) return PrintSizes(s, out);
  if (standardInput) return ProcessStandardInput(s, out);

  std::vector<std::string> problems;
  const std::vector<Entry> entries = ListFiles(s, problems);
  for (const std::string& problem : problems) std::cerr << "tamarind-cli: " << problem << "\n";

  const unsigned jobs = s.jobs != 0 ? s.jobs : std::max(1u, std::thread::hardware_concurrency());
  const Totals totals = Batch(s, entries, out).Run(jobs);
  const size_t failed = totals.failed + problems.size();
  const int signal = tamarind::cli::InterruptSignal();
  if (s.recursive || signal != 0) {
    // With --diff, standard output is the patch alone.
    char summary[160];
    std::snprintf(summary, sizeof summary, "%zu files processed, %zu failed, %zu tags %s\n",
                  totals.processed, failed, totals.tags, s.dryRun ? "would change" : "changed");
    if (s.diff) {
      std::fputs(summary, stderr);
    } else {
      out.Write(summary);
    }
  }
  PrintMissSummary(totals.misses, s.verbose);
  if (signal != 0) {
    std::fprintf(stderr, "tamarind-cli: stopped by %s; %zu files not started\n",
                 tamarind::cli::SignalName(signal), totals.notStarted);
    return 128 + signal;
  }
  return failed == 0 && !out.Failed() ? kExitOk : kExitFailed;
}
