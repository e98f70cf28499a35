// SafeWrite: how new contents take the place of a document, for one file or
// for a whole site, so that a failure at any step, or an interruption, leaves
// every document either as it was or wholly new, and every backup complete or
// absent.
//
// The order is always the same:
//   1. the new contents are written beside the document, into a file that
//      has no name yet where the system allows it (Linux O_TMPFILE), so that
//      even a killed process leaves nothing behind;
//   2. they are flushed to disk: one fsync for a single file, one syncfs of
//      each file system for a batch, which costs far less than one per file;
//   3. the backup is made, complete or not at all;
//   4. the new file is renamed over the document;
//   5. each folder that got a new name is flushed, so the rename lasts.
// A step that fails for a document leaves that document as it was, and a
// failed flush in step 2 stops every document of its batch on that file
// system.
//
// A document the rename would change in more than its bytes (one with other
// hard links, or whose owner, group, ACL or extended attributes the new file
// cannot carry) is written in place instead, as databases write a page
// under a rollback journal: a complete, flushed copy of the old contents is
// put beside it under a fixed name, its journal (see JournalNameOf), then the
// new bytes are written over the old and flushed, and only then is the
// journal removed. A failure restores the old bytes from the journal; a
// process killed on the way leaves the journal, and the next run that is
// given the document puts it back from there before anything else
// (RestoreFromJournal), so a page is never read half old, half new.
#pragma once

#include <sys/stat.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

namespace tamarind {

class SafeWriter;

// The new contents of one document, written beside it. Holds one of the
// writer's places for temporary copies until it is gone.
class ReplacementFile {
 public:
  // Waits for a place, then makes the file in the folder of `target` and
  // gives it the owner, group, permission bits, ACL and extended attributes
  // of `like` (read from `likeFd`, the document's open handle), as far as
  // it can: what it cannot carry makes the document one to write in place.
  ReplacementFile(SafeWriter& writer, std::string target, const struct stat& like, int likeFd);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void Write(std::string_view bytes);
  // Writes out what is buffered. The file stays open (a file without a
  // name exists only while it is open) until it is put in place.
  void Finish();

  const std::string& Target() const { return target_; }
  int Handle() const { return fd_; }
  uint64_t Size() const { return written_; }
  // True when the document must be written in place (see above).
  bool InPlace() const { return inPlace_; }

  // Puts the file over the target by rename: gives it a name first when it
  // has none. Throws EInOutError; the target is then as it was.
  void RenameOverTarget();

 private:
  void Flush();
  void StartWriteBack();
  void CarryAttributes(const struct stat& like, int likeFd);
  void Discard() noexcept;

  SafeWriter& writer_;
  std::string target_;
  std::string tempName_;  // empty while the file has no name
  int fd_ = -1;
  std::string buffer_;
  uint64_t written_ = 0;
  uint64_t startedWriteBack_ = 0;
  bool inPlace_ = false;
  bool committed_ = false;
};

// A document whose new contents stand ready beside it, not yet in place.
// MainProc::PrepareFile makes one; a SafeWriter puts it in place.
class PreparedDocument {
 public:
  // `backupName` is empty when no backup is wanted.
  PreparedDocument(std::string fileName, std::string target, const struct stat& original,
                   std::string backupName)
      : fileName_(std::move(fileName)),
        target_(std::move(target)),
        original_(original),
        backupName_(std::move(backupName)) {}

  // The name the document was given by, and the file it stands for (the
  // target of a symbolic link).
  const std::string& FileName() const { return fileName_; }
  const std::string& Target() const { return target_; }
  // The number of tags changed.
  int Changed() const { return changed_; }
  // True when the new bytes equal the old ones.
  bool Unchanged() const { return unchanged_; }
  // Why the document could not be put in place; empty when it was (or
  // before the writer has tried).
  const std::exception_ptr& Error() const { return error_; }
  // Throws Error(), if any.
  void ThrowIfFailed() const {
    if (error_) std::rethrow_exception(error_);
  }

 private:
  friend class MainProc;
  friend class SafeWriter;
  std::string fileName_;
  std::string target_;
  struct stat original_ {};
  std::string backupName_;
  int changed_ = 0;
  bool unchanged_ = false;
  std::unique_ptr<ReplacementFile> contents_;  // none for a document left alone
  std::exception_ptr error_;
};

// Puts prepared documents in place, one at a time or in batches.
class SafeWriter {
 public:
  // At most this many temporary copies stand at once, by default: enough to
  // make the syncs of a site rare, few enough to bound what a site needs on
  // disk and in open files.
  static constexpr size_t kPendingLimit = 64;

  explicit SafeWriter(size_t pendingLimit = kPendingLimit);
  // Puts in place whatever was submitted (see Finish).
  ~SafeWriter();
  SafeWriter(const SafeWriter&) = delete;
  SafeWriter& operator=(const SafeWriter&) = delete;

  // Puts one document in place: a batch of one. Throws its error.
  void PutInPlace(PreparedDocument& document);

  // Backup names within the writer's run. Two documents of one folder may
  // share one (index.htm and index.html both keep theirs as index.bak): the
  // first document to claim a name holds it for the whole run, so no backup
  // this run writes is ever replaced by another of its documents. Returns
  // the name of the document that holds `backupName` (`fileName` itself
  // when it was free). Atomic; a run that prepares documents side by side
  // claims them all in its order first (MainProc::ClaimBackupName), so that
  // the first of its order wins whatever its workers do.
  std::string ClaimBackupName(const std::string& backupName, const std::string& fileName);

  // Hands a document over to be put in place with others, under `ticket`, a
  // number of the caller's by which it knows the document again. The
  // writer's own thread takes a batch when half the places are taken by
  // finished documents, when every place is, or on Finish(); it runs no code
  // of the caller's. Each document comes back through NextPlaced().
  void Submit(std::unique_ptr<PreparedDocument> document, size_t ticket);
  // Puts everything submitted in place and waits until it is. Call it after
  // the last Submit.
  void Finish();

  // A document handed back: put in place, or failed (see
  // PreparedDocument::Error), its place for a temporary copy free again.
  struct Placed {
    size_t ticket;
    std::unique_ptr<PreparedDocument> document;
  };
  // The next document handed back, in the order the writer finished them,
  // on the caller's thread: waits until there is one. Returns nothing when
  // every submitted document has come back and Finish() has been called
  // (until then it waits).
  std::optional<Placed> NextPlaced();

  size_t PendingLimit() const { return limit_; }

 private:
  friend class ReplacementFile;

  // A place for one temporary copy: waits while every place is taken.
  void TakePlace();
  void GivePlaceBack();

  void PlaceBatches();
  void PutBatchInPlace(const std::vector<PreparedDocument*>& batch);

  const size_t limit_;
  std::mutex claimsMutex_;
  // By the backup's folder (device, inode) and name: the holder's name.
  std::map<std::tuple<dev_t, ino_t, std::string>, std::string> claims_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t taken_ = 0;
  std::deque<Placed> submitted_;
  std::deque<Placed> placed_;
  size_t outstanding_ = 0;  // submitted and not yet in placed_
  bool finishing_ = false;
  std::thread placer_;
};

// Keeps `original` (the file as it is, `status` its status) under the name
// `backupName`. The backup is complete or absent: it is made under a
// temporary name and renamed into place, replacing an older backup. A hard
// link is used where it can be and `by` allows it (a plain file with one
// name); otherwise the bytes are copied with the original's permission bits
// and times, and flushed. `scratch`, when given, is the temporary name to
// use (one a later run knows to remove), else a fresh one is made up.
enum class BackupBy { LinkWherePossible, Copy };
void MakeBackupFile(const std::string& original, const struct stat& status,
                    const std::string& backupName, BackupBy by = BackupBy::LinkWherePossible,
                    const std::string& scratch = {});

// The journal of a document written in place: ".NAME.tamarind-journal" in
// the folder of `target` (a NAME too long for that is cut and a hash of it
// added). While a journal is being made, it stands under the same name plus
// ".part" where the system cannot make files without a name: a ".part" is
// never complete, and is removed by the next run given its document.
std::string JournalNameOf(const std::string& target);
// Whether a file's name (its last part) is a journal's, or, with
// `orUnfinished`, an unfinished journal's.
bool IsJournalName(std::string_view name, bool orUnfinished = true);
// Whether the document `target` has a journal, left by an interrupted write.
bool HasJournal(const std::string& target);
// Puts the document `target` back as it was before an interrupted write in
// place, from its journal, and removes the journal (and an unfinished one).
// Returns the journal's name, or "" when there was none. Throws EInOutError:
// the journal then stays, for the next run.
std::string RestoreFromJournal(const std::string& target);

// For a program that must end at once (a second interrupt): removes every
// temporary file that has a name at this moment, waits for a document being
// written in place to be whole again, and keeps every other thread from
// starting either until the process ends. Never returns control of the
// files: call it right before _exit().
void RemoveTemporaryFilesForExit();

// Whether new contents are made without a name in `folder` (O_TMPFILE).
bool MakesNamelessFiles(const std::string& folder);

}  // namespace tamarind
