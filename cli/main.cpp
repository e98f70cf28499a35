// tamarind-cli: gives every IMG tag of HTML files the size of its picture.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Diff.h"
#include "MainProc.h"
#include "PictureName.h"
#include "SiteWalker.h"

#ifndef TAMARIND_VERSION
#define TAMARIND_VERSION "0.0.0"
#endif

namespace {

using tamarind::MainProc;

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
    "AVIF or SVG). Each file gets a line \"FILE: N tags changed\"; a file that\n"
    "fails is reported and the others go on. Tags left without a size are\n"
    "counted at the end; -v lists them.\n"
    "\n"
    "What is written:\n"
    "  -a, --alt           add alt=\"file name\" to tags without ALT\n"
    "                        <img src=img/logo.gif>  ->  ... alt=\"logo.gif\"\n"
    "  -o, --overwrite     rebuild measured tags so new sizes replace old WIDTH/HEIGHT\n"
    "                        tamarind-cli -o page.html\n"
    "  -q, --quote         write the numbers between double quotes: width=\"120\"\n"
    "  -r, --root DIR      local folder standing for the web root, for SRC=\"/...\"\n"
    "                        tamarind-cli -r /var/www/html /var/www/html/index.html\n"
    "      --formats LIST  measure only these picture formats, from\n"
    "                      gif,jpeg,png,webp,bmp,avif,svg (all of them by default)\n"
    "                        tamarind-cli --formats gif,jpeg page.html   (as the wizard)\n"
    "  -x, --more-formats  measure every format (the default; kept for old scripts)\n"
    "      --site URL      links to this site (http or https, any host case, or\n"
    "                      //host/) name files under --root; repeatable\n"
    "                        tamarind-cli -R -r site --site https://example.com/ site\n"
    "\n"
    "Which files, and how:\n"
    "  -R, --recursive     process every *.html and *.htm below the FOLDERs given\n"
    "                      (hidden files and folders are passed over)\n"
    "                        tamarind-cli -R -r site site\n"
    "  -j, --jobs N        process N files at a time (default: one per processor)\n"
    "                        tamarind-cli -R -j 4 site\n"
    "  -B, --no-backup     do not keep each file as it was under NAME.bak\n"
    "                      (backups are made by default)\n"
    "\n"
    "Looking before writing:\n"
    "  -n, --dry-run       write nothing (no backup either); print what would change\n"
    "                        tamarind-cli -n -R site\n"
    "      --diff          print a unified diff of what would change, write nothing;\n"
    "                      the counts go to standard error, so the diff can be saved\n"
    "                      and applied later with patch -p0\n"
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
    "Exit status: 0 all went well, 1 a file failed (or, with --size, a picture\n"
    "gave no size), 2 wrong usage (then nothing is touched).\n";

struct Settings {
  tamarind::ProcessingOptions options;
  bool recursive = false;
  bool dryRun = false;
  bool diff = false;
  bool sizeOnly = false;
  bool trace = false;
  bool verbose = false;
  unsigned jobs = 0;  // 0: one per processor
  std::vector<std::string> files;
};

int UsageError(const std::string& message) {
  std::cerr << "tamarind-cli: " << message << "\n"
            << "Try 'tamarind-cli --help' for more information.\n";
  return kExitUsage;
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
    const int c = getopt_long(argc, argv, ":aBoqr:xRj:nvh", kLongOptions, nullptr);
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
                            "' (known: gif,jpeg,png,webp,bmp,avif,svg)");
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
        std::cout << kUsage;
        return kExitOk;
      case kOptVersion:
        std::cout << "tamarind-cli " << TAMARIND_VERSION << "\n";
        return kExitOk;
      case ':':
        return UsageError(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  if (!s.options.SiteUrls.empty() && s.options.Parameter_ABSFolder.empty()) {
    return UsageError("--site needs --root: the folder its addresses stand for");
  }
  s.files.assign(argv + optind, argv + argc);
  if (s.files.empty()) return UsageError("no file given");
  if (s.files.size() > 1 && std::find(s.files.begin(), s.files.end(), "-") != s.files.end()) {
    return UsageError("'-' (standard input) stands alone");
  }
  // The root folder stands in front of a SRC value that begins with "/";
  // a trailing "/" of its own would only double that one.
  std::string& root = s.options.Parameter_ABSFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return -1;
}

int PrintSizes(const Settings& s) {
  int status = kExitOk;
  for (const std::string& image : s.files) {
    const tamarind::ProbeResult probe = tamarind::ProbeImageFile(image, s.options.Formats);
    switch (probe.outcome) {
      case tamarind::ProbeOutcome::Found:
        std::cout << image << ": " << probe.width << "x" << probe.height << "\n";
        continue;
      case tamarind::ProbeOutcome::NoFile:
        std::cout << image << ": no size (no such file)\n";
        break;
      case tamarind::ProbeOutcome::Folder:
        std::cout << image << ": no size (a folder)\n";
        break;
      case tamarind::ProbeOutcome::NotMeasured:
        std::cout << image << ": no size (not a picture format measured)\n";
        break;
      case tamarind::ProbeOutcome::Unreadable:
        std::cout << image << ": no size (cannot be read)\n";
        break;
      case tamarind::ProbeOutcome::NoSize:
        std::cout << image << ": no size (no size in the header)\n";
        break;
    }
    status = kExitFailed;
  }
  return status;
}

// The IMG tags a run left without a size, by reason, for the line that ends
// the run.
struct MissCounts {
  static constexpr size_t kReasons = 6;
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
std::string ExtensionOf(const std::string& path) {
  const size_t cut = path.find_last_of("./");
  if (cut == std::string::npos || path[cut] != '.' || cut + 1 == path.size()) {
    return "no extension";
  }
  return path.substr(cut);
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
      return "format not measured: " + ExtensionOf(m.path);
    case MissReason::NoSize:
      return "no size in the picture's header";
    case MissReason::Unreadable:
      return "cannot read the picture at " + m.path;
    case MissReason::Remote:
      return "remote picture";
    case MissReason::EmptySrc:
      return "empty SRC";
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
  static constexpr const char* kNames[MissCounts::kReasons] = {
      "no picture", "format not measured", "no size in the header", "unreadable", "remote",
      "empty SRC"};
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
  void Write(std::string_view bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) failed_ = true;
  }
  bool Flush() { return std::fflush(stdout) == 0 && !failed_ && !std::ferror(stdout); }

 private:
  bool failed_ = false;
};

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

int ProcessStandardInput(const Settings& s) {
  MainProc engine;
  engine.options = s.options;
  std::string trace;
  if (s.trace) TraceTo(engine, trace);
  engine.collectMisses = true;
  StandardOutput out;
  try {
    const int changed = engine.ProcessStream(STDIN_FILENO, out);
    if (!out.Flush()) throw tamarind::EInOutError::FromErrno(errno);
    MissCounts misses;
    std::string list;
    ReportMisses(engine, "-", s.verbose, misses, list);
    std::cerr << trace << list << "-: " << changed << " tags changed\n";
    PrintMissSummary(misses, s.verbose);
    return kExitOk;
  } catch (const std::exception& e) {
    out.Flush();
    std::cerr << trace << "tamarind-cli: -: " << e.what() << "\n";
    return kExitFailed;
  }
}

// What became of one file, ready to be printed.
struct Outcome {
  bool done = false;
  bool failed = false;
  int changed = 0;
  MissCounts misses;
  std::string out;  // the count line (or the diff)
  std::string err;  // trace lines, the error (and the count line of a diff)
};

// Processes a list of files: workers, each with an engine of its own, run
// the files up to the point where the new contents stand written beside
// them; one thread puts them in place, many at a time; one prints the
// outcomes in the order of the list, so the output does not depend on the
// number of workers.
class Batch {
 public:
  Batch(const Settings& s, std::vector<std::string> files)
      : settings_(s), files_(std::move(files)), outcomes_(files_.size()) {}

  // Returns the number of files that failed.
  size_t Run(unsigned jobs, size_t& tagsChanged, MissCounts& misses) {
    const auto sizes = std::make_shared<tamarind::ImageSizeCache>();
    workers_ = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(files_.size())));
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < workers_; ++i) threads.emplace_back([this, sizes] { Work(sizes); });
    threads.emplace_back([this] { Place(); });
    threads.emplace_back([this, &tagsChanged, &misses] { Print(tagsChanged, misses); });
    Work(sizes);
    for (std::thread& t : threads) t.join();
    return failed_;
  }

 private:
  // A file made ready but not yet in place.
  struct Pending {
    size_t index;
    Outcome outcome;
    std::unique_ptr<tamarind::PreparedDocument> document;
  };

  // Files made ready between two syncs: enough to make the syncs rare, few
  // enough to bound the temporary files that stand at once.
  static constexpr size_t kFilesPerSync = 64;

  void Work(const std::shared_ptr<tamarind::ImageSizeCache>& sizes) {
    MainProc engine;
    engine.options = settings_.options;
    engine.collectMisses = true;
    engine.ShareImageSizes(sizes);
    for (size_t i = next_++; i < files_.size(); i = next_++) {
      Pending p{i, {}, nullptr};
      Process(engine, files_[i], p.outcome, p.document);
      if (!p.document) {
        Publish(i, std::move(p.outcome));
        continue;
      }
      std::lock_guard lock(mutex_);
      readyToPlace_.push_back(std::move(p));
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    ++workersDone_;
    changed_.notify_all();
  }

  // Runs a file up to the point where its new contents stand written beside
  // it (or, for a preview, all the way).
  void Process(MainProc& engine, const std::string& file, Outcome& o,
               std::unique_ptr<tamarind::PreparedDocument>& prepared) const {
    if (settings_.trace) TraceTo(engine, o.err);
    try {
      if (!settings_.dryRun) {
        prepared = engine.PrepareFile(file, false);
        o.changed = prepared->Changed();
      } else if (settings_.diff) {
        tamarind::cli::ChangeRecorder recorder;
        o.changed = engine.PreviewFile(file, recorder);
        recorder.Finish();
        o.err += file + ": " + std::to_string(o.changed) + " tags would change\n";
        o.out =
            tamarind::cli::UnifiedDiff(file, recorder.oldText, recorder.newText, recorder.changes);
      } else {
        NoOutput nothing;
        o.changed = engine.PreviewFile(file, nothing);
        o.out = file + ": " + std::to_string(o.changed) + " tags would change\n";
      }
      ReportMisses(engine, file, settings_.verbose, o.misses, o.err);
    } catch (const std::exception& e) {
      Fail(o, file, e);
    }
    engine.trace = nullptr;
  }

  // EInOutError says what went wrong with the file; anything else (no memory
  // for a huge tag) is reported the same way, and the next file still goes.
  static void Fail(Outcome& o, const std::string& file, const std::exception& e) {
    o.failed = true;
    o.changed = 0;
    o.misses = {};
    o.err += "tamarind-cli: " + file + ": " + e.what() + "\n";
  }

  // One thread puts the files of every worker in place, so that one sync
  // serves them all.
  void Place() {
    for (;;) {
      std::vector<Pending> batch;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          return readyToPlace_.size() >= kFilesPerSync || workersDone_ == workers_;
        });
        batch.swap(readyToPlace_);
        if (batch.empty() && workersDone_ == workers_) return;
      }
      PutInPlace(batch);
    }
  }

  // The new contents reach the disk with one sync of each file system
  // concerned, rather than one flush per file; only then is each renamed
  // over its document (after its backup), and a last sync makes the renames
  // last.
  void PutInPlace(std::vector<Pending>& batch) {
    std::map<dev_t, std::string> fileSystems;
    for (const Pending& p : batch) {
      struct stat st {};
      const std::string& target = p.document->Target();
      if (::stat(tamarind::DirectoryOf(target).c_str(), &st) == 0) fileSystems[st.st_dev] = target;
    }
    std::string failure;
    try {
      for (const auto& fs : fileSystems) tamarind::SyncFileSystemOf(fs.second);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    for (Pending& p : batch) {
      const std::string& file = files_[p.index];
      try {
        if (!failure.empty()) throw std::runtime_error(failure);
        MainProc::WriteDocument(*p.document, false);
        p.outcome.out = file + ": " + std::to_string(p.outcome.changed) + " tags changed\n";
      } catch (const std::exception& e) {
        Fail(p.outcome, file, e);
      }
      p.document.reset();  // a file not put in place is removed here
    }
    try {
      for (const auto& fs : fileSystems) tamarind::SyncFileSystemOf(fs.second);
    } catch (const std::exception&) {
      // The renames stand; only how soon they reach the disk is left to the
      // system.
    }
    for (Pending& p : batch) Publish(p.index, std::move(p.outcome));
  }

  void Publish(size_t index, Outcome o) {
    std::lock_guard lock(mutex_);
    outcomes_[index] = std::move(o);
    outcomes_[index].done = true;
    changed_.notify_all();
  }

  void Print(size_t& tagsChanged, MissCounts& misses) {
    // A progress line on a terminal, for more than a few files; cleared
    // before each line of output and at the end.
    const bool progress = ::isatty(STDOUT_FILENO) && files_.size() > 3;
    for (size_t i = 0; i < files_.size(); ++i) {
      Outcome o;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return outcomes_[i].done; });
        o = std::move(outcomes_[i]);
      }
      if (progress) std::fputs("\r\033[K", stdout);
      std::fflush(stdout);
      std::fwrite(o.err.data(), 1, o.err.size(), stderr);
      std::fwrite(o.out.data(), 1, o.out.size(), stdout);
      failed_ += o.failed ? 1 : 0;
      tagsChanged += static_cast<size_t>(o.changed);
      misses.Add(o.misses);
      if (progress && i + 1 < files_.size()) {
        std::fprintf(stdout, "%zu/%zu files", i + 1, files_.size());
      }
      std::fflush(stdout);
    }
  }

  const Settings& settings_;
  const std::vector<std::string> files_;
  std::vector<Outcome> outcomes_;
  std::atomic<size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Pending> readyToPlace_;
  unsigned workers_ = 0;
  unsigned workersDone_ = 0;
  size_t failed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  if (const int status = ParseCommandLine(argc, argv, s); status >= 0) return status;
  if (s.sizeOnly) return PrintSizes(s);
  if (s.files.size() == 1 && s.files[0] == "-") return ProcessStandardInput(s);

  std::vector<std::string> documents, problems;
  for (const std::string& file : s.files) {
    struct stat st {};
    if (s.recursive && ::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      tamarind::cli::CollectDocuments(file, documents, problems);
    } else {
      documents.push_back(file);
    }
  }
  for (const std::string& problem : problems) std::cerr << "tamarind-cli: " << problem << "\n";

  const unsigned jobs = s.jobs != 0 ? s.jobs : std::max(1u, std::thread::hardware_concurrency());
  size_t tags = 0;
  MissCounts misses;
  const size_t failed = Batch(s, documents).Run(jobs, tags, misses) + problems.size();
  if (s.recursive) {
    // With --diff, standard output is the patch alone.
    std::FILE* summary = s.diff ? stderr : stdout;
    std::fprintf(summary, "%zu files processed, %zu failed, %zu tags %s\n", documents.size(),
                 failed, tags, s.dryRun ? "would change" : "changed");
  }
  PrintMissSummary(misses, s.verbose);
  return failed == 0 ? kExitOk : kExitFailed;
}
