#include "SiteRun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <exception>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Diff.h"
#include "Interrupt.h"
#include "MainProc.h"
#include "MissReason.h"
#include "SiteWalker.h"
#include "files/SafeWrite.h"

namespace {

using tamarind::MainProc;
using tamarind::cli::CheckedOutput;
using tamarind::cli::kExitFailed;
using tamarind::cli::kExitOk;
using tamarind::cli::Settings;

// The IMG tags a run left without a size, by reason, for the line that ends
// the run.
struct MissCounts {
  std::array<size_t, tamarind::kMissReasons.size()> byReason{};
  size_t Total() const {
    size_t total = 0;
    for (size_t n : byReason) total += n;
    return total;
  }
  void Add(tamarind::MissReason reason) { ++byReason[static_cast<size_t>(reason)]; }
  void Add(const MissCounts& other) {
    for (size_t i = 0; i < byReason.size(); ++i) byReason[i] += other.byReason[i];
  }
};

// The misses of one document: counted, and listed (FILE:LINE: SRC: REASON,
// the form editors and build logs link to) when asked for.
void ReportMisses(const MainProc& engine, const std::string& file, bool list, MissCounts& counts,
                  std::string& out) {
  if (list) {
    for (const std::string& note : engine.StyleNotes()) out += file + ": " + note + "\n";
  }
  for (const tamarind::ImageMiss& m : engine.Misses()) {
    counts.Add(m.reason);
    if (!list) continue;
    out += file;
    out += ':';
    out += std::to_string(m.line);
    out += ": ";
    out += tamarind::cli::Printable(m.src);
    out += ": ";
    out += tamarind::cli::Printable(tamarind::MissText(m));
    out += '\n';
  }
}

// "tamarind-cli: 12 IMG tags left without a size (9 no picture, 3 format not
// measured); -v lists them", or nothing when every tag got its size.
void PrintMissSummary(const MissCounts& counts, bool listed) {
  const size_t total = counts.Total();
  if (total == 0) return;
  std::string line = "tamarind-cli: " + std::to_string(total) +
                     (total == 1 ? " IMG tag" : " IMG tags") + " left without a size (";
  const char* separator = "";
  const auto& rows = tamarind::kMissReasons;
  for (size_t i = 0; i < rows.size(); ++i) {
    // Rows of one word count together, where the first of them stands.
    size_t count = 0;
    bool first = true;
    for (size_t j = 0; j < rows.size(); ++j) {
      if (rows[j].summary != rows[i].summary) continue;
      if (j < i) first = false;
      count += counts.byReason[j];
    }
    if (!first || count == 0) continue;
    line += separator + std::to_string(count) + " " + std::string(rows[i].summary);
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
  bool counted = true;    // false for another name of a file met before
  bool atWriter = false;  // handed to the writer, and not yet back
  int changed = 0;
  MissCounts misses;
  std::string out;  // the count line (or the diff)
  std::string err;  // trace lines, the error (and the count line of a diff)
};

// Processes a list of files: workers, each with an engine of its own, run
// the files up to the point where the new contents stand written beside
// them and hand them to one SafeWriter, which puts them in place many at a
// time (and keeps the workers waiting while its places are all taken); one
// thread, the printer, takes the documents back from the writer and prints
// the outcomes in the order of the list, so the output does not depend on
// the number of workers. An interrupt starts no new file.
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
        // Known before the writer can hand it back: the printer settles it.
        o.atWriter = true;
        Publish(i, std::move(o));
        writer_.Submit(std::move(prepared), i);
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

  // A document the writer has handed back: its count line, or its error.
  // Called with the lock held.
  void Settle(const tamarind::SafeWriter::Placed& placed) {
    Outcome& o = outcomes_[placed.ticket];
    const tamarind::PreparedDocument& d = *placed.document;
    try {
      d.ThrowIfFailed();
      o.out = d.FileName() + ": " + std::to_string(o.changed) + " tags changed\n";
    } catch (const std::exception& ex) {
      Fail(o, d.FileName(), ex);
    }
    o.atWriter = false;
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
        // The writer hands its documents back in the order it put them in
        // place; those before this one's are settled on the way.
        while (outcomes_[i].atWriter) {
          lock.unlock();
          std::optional<tamarind::SafeWriter::Placed> placed = writer_.NextPlaced();
          lock.lock();
          if (!placed) break;  // never: Finish() waits for every document
          Settle(*placed);
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

namespace tamarind::cli {

int RunStandardInput(const Settings& s, CheckedOutput& out) {
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

int RunFiles(const Settings& s, CheckedOutput& out) {
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

}  // namespace tamarind::cli
