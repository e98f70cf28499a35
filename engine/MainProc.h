// MainProc: the tag-processing engine.
//
// A run reads one HTML document front to back in windows, cuts each into
// tag and text segments, hands every IMG tag to the rewriter, and streams
// the text and the new tags into the document's replacement; only a piece
// not yet finished at a window's end is held. Everything but a rewritten IMG
// tag is written back byte for byte. The engine knows no encoding: names and texts are byte
// strings, and only ASCII letters are ever compared without regard to case.
//
// All state of the engine lives in one MainProc object, so that tests and
// workers can each have their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "files/FileIo.h"
#include "files/SafeWrite.h"
#include "html/Tokenizer.h"
#include "probe/JpegUtil.h"

namespace tamarind {

// Whether a document whose bytes come out the same is written back all the
// same (the wizard's way: its backup is renewed on every run), or left alone,
// dates, backup and all.
enum class WriteBack { Always, WhenChanged };

// What a run does besides adding the sizes.
struct ProcessingOptions {
  bool AddALTAttribute = false;       // add alt="file name" to a tag without ALT
  bool MakeBAKFile = false;           // keep the document as it was under the backup name
  bool Parameter_OverWrite = false;   // rebuild measured tags so new sizes replace old ones
  bool Parameter_QuoteWrite = false;  // write the numbers between double quotes
  std::string Parameter_ABSFolder;    // the local folder standing for the web root "/"
  // The picture formats measured: GIF and JPEG unless the front end asks
  // for more.
  ImageFormats Formats = ImageFormats::Classic();
  // Absolute links to the site itself ("https://example.com/"): a SRC value
  // under one of them names a file under Parameter_ABSFolder.
  std::vector<std::string> SiteUrls;
  WriteBack WriteBackMode = WriteBack::Always;
};

// Receives the trace lines of the rewriter, one call per line. An empty
// function means no trace is kept (and none is built).
using TraceLog = std::function<void(std::string_view line)>;

// ---------------------------------------------------------------------------
// Segments

// ---------------------------------------------------------------------------
// The IMG tag rewriter

// The answer of a picture size probe.
struct ImageSize {
  bool found = false;
  int32_t width = 0;
  int32_t height = 0;
  // Why there is no size, and what the name's extension says, for the
  // report of tags left without one.
  ProbeOutcome outcome = ProbeOutcome::NoFile;
  ImageKind extension = ImageKind::None;
};
using ImageProbe = std::function<ImageSize(const std::string& path)>;
// Looks for the picture a SRC value names where a browser would find it,
// once the value as written named no file. May set `path` to the file it
// looked at, for the report of a tag left without a size.
using PictureResolver = std::function<ImageSize(std::string_view src, std::string& path)>;

// Why an IMG tag that names a picture was left without a size.
enum class MissReason {
  NoPicture,    // no file of that name (or a folder)
  NotMeasured,  // a file whose format is not measured
  NoSize,       // its header gives no size
  Unreadable,   // it may not be read
  Remote,       // a picture elsewhere on the web
  EmptySrc,     // SRC=""
  NotClosed,    // a quoted value of the tag is still open at the document's end
  InsideText,   // inside an element whose content is text (detail: its name)
  Percentage,   // the side given is a percentage (detail: WIDTH or HEIGHT)
  NotANumber,   // the side given is no number (detail: WIDTH or HEIGHT)
  TooLarge,     // the side given is too large to scale by (detail: WIDTH or HEIGHT)
  NoOwnSize,    // an SVG that leaves its size to the page
};

// What the rewriter tells of an IMG tag it left without a size.
struct TagMiss {
  bool missed = false;
  MissReason reason = MissReason::NoPicture;
  ImageKind extension = ImageKind::None;  // what the picture's name says
  std::string_view src;                   // the SRC value, its quotes dropped
  std::string_view detail;                // fixed text, see MissReason
};

// An IMG tag of a document left without a size, for the report of a run.
struct ImageMiss {
  uint64_t offset = 0;  // of the tag's "<" in the document
  uint64_t line = 0;    // 1-based line of that "<"
  MissReason reason = MissReason::NoPicture;
  ImageKind extension = ImageKind::None;
  std::string src;
  std::string path;         // the file looked for (empty when none was)
  std::string_view detail;  // fixed text, see MissReason
};

// Working storage of the rewriter, kept from one tag to the next so that a
// document of many IMG tags does not allocate for each of them.
struct RewriteScratch {
  std::string path;
  std::string additions;
};

// Everything the rewriter reads besides the tag itself.
struct RewriteContext {
  const ProcessingOptions* options = nullptr;
  std::string_view documentFolder;  // ends in "/" or is empty
  const ImageProbe* probe = nullptr;
  const TraceLog* trace = nullptr;           // may be null or empty
  RewriteScratch* scratch = nullptr;         // may be null
  TagMiss* miss = nullptr;                   // may be null: nobody asks
  const PictureResolver* resolve = nullptr;  // may be null: the name as written only
  // The document is XHTML: added numbers are written in double quotes
  // whatever Parameter_QuoteWrite says, so that it stays well-formed XML.
  bool xhtml = false;
};

// Rewrites the text of one tag (without its brackets). Returns true and sets
// `result` when the tag changed; returns false and leaves `result` alone when
// the tag stays as it is (any tag that is not IMG, an IMG that got nothing).
bool FormatImageTag(std::string_view tag, const RewriteContext& context, std::string& result);

// A cheap first look for the tag pass: false for a tag that cannot be an IMG
// tag because its first byte is neither a blank nor an "i". Most tags of a
// page end here, without a call.
inline bool MayBeImageTag(std::string_view tag) {
  if (tag.empty()) return false;
  const auto c = static_cast<unsigned char>(tag[0]);
  return c <= 0x20 || c == 'i' || c == 'I';
}

// Whether a tag's text is an IMG tag with attributes; if so, its name as
// written and its attribute text, both trimmed. The name ends at a blank or
// a "/", as in browsers (<img/src=a.gif>).
bool SplitImageTag(std::string_view tag, std::string_view& name, std::string_view& attributes);

// The first value of the attribute `upperName` (any letter case) in the text
// of a tag, as the rewriter reads attributes, with one pair of quotes
// dropped. False when no attribute of that name has a value.
bool AttributeValue(std::string_view tag, std::string_view upperName, std::string_view& value);

// The 1-based position of the first blank or "=" in `text`, 0 when there is
// neither. Blanks are space, tab, CR and LF.
size_t WordEndPos(std::string_view text);

// Cuts the next token off the front of `remaining`, which must not be empty
// and must not begin with a byte at or below the space: "=" alone, a quoted
// value up to and including its closing quote (or to the end when none
// follows), or a word up to the next blank or "=".
std::string_view SliceToken(std::string_view& remaining);

// ---------------------------------------------------------------------------
// The processing run

// Where output goes during the tag pass.
class DocumentOutput {
 public:
  virtual ~DocumentOutput() = default;
  virtual void Write(std::string_view bytes) = 0;
  // Called right after the bytes of a change were written: the last
  // `newLength` bytes written replace `oldBytes` of the document (a
  // rewritten tag, or the ">" that closes a tag left open at the end, which
  // replaces nothing). For outputs that show what changed.
  virtual void NoteChange(std::string_view /*oldBytes*/, size_t /*newLength*/) {}
};

// Picture sizes probed once and shared: by the runs of one command over many
// files, and by the workers that process them side by side.
class ImageSizeCache {
 public:
  // The size of a picture: from the cache, or probed and remembered.
  ImageSize Get(const std::string& path, ImageFormats formats);

 private:
  struct PathHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::shared_mutex mutex_;
  // One map per set of formats: a picture may be measured under one set
  // and not under another. A command uses one set, so this is one map.
  struct Sizes {
    ImageFormats formats;
    std::unordered_map<std::string, ImageSize, PathHash, std::equal_to<>> byPath;
  };
  std::vector<Sizes> sizes_;
};

class WindowPass;

class MainProc {
 public:
  ProcessingOptions options;
  TraceLog trace;
  // Keeps the IMG tags each run leaves without a size, for Misses(). Off, a
  // run spends nothing on them.
  bool collectMisses = false;

  // The IMG tags the last run left without a size, in document order.
  const std::vector<ImageMiss>& Misses() const { return misses_; }

  // Processes one HTML file in place and returns the number of tags changed:
  // PrepareFile, then a SafeWriter puts it in place, a batch of one. The
  // file is written back on every run unless WriteBackMode says otherwise.
  // With MakeBAKFile the file as it was is kept under its backup name.
  // Throws EInOutError; on an error the document is as it was.
  int ProcessFile(const std::string& fileName);

  // Processes a document held in memory; SRC values are resolved against
  // `documentFolder`. Returns the written form.
  std::string ProcessText(std::string_view document, std::string_view documentFolder = {});

  // Processes a document read from `input` (standard input, say) into `out`;
  // SRC values are resolved against `documentFolder`. Returns the number of
  // tags changed. Throws EInOutError for a failed read.
  int ProcessStream(int input, DocumentOutput& out, std::string_view documentFolder = {});

  // The rewriter on the engine's own state: counts the tag when it changed.
  std::string FormatImageTag(std::string_view tag);

  int TagCounter() const { return tagCounter_; }
  const std::string& DocumentFolder() const { return documentFolder_; }
  void SetDocumentFolder(std::string folder) { documentFolder_ = std::move(folder); }

  // The picture size of a path, probed once per run (or once for as long as
  // a shared cache lives).
  ImageSize ProbeImage(const std::string& path);
  // The picture a SRC value names as a browser reads it (see PictureName.h),
  // looked for once per value and run.
  ImageSize ResolvePicture(std::string_view src, std::string& path);
  // Shares picture sizes with other engines; none (the default) keeps a
  // cache of this engine's own, emptied at the start of every run.
  void ShareImageSizes(std::shared_ptr<ImageSizeCache> cache) {
    sizes_ = std::move(cache);
    sizesShared_ = sizes_ != nullptr;
  }

  // The first half of ProcessFile: the document read and its new contents
  // written beside it, in one of `writer`'s places (waiting for one while
  // all are taken). Nothing of the user's has changed yet; `writer` puts it
  // in place. A document whose bytes come out the same gets no new contents
  // when WriteBackMode is WhenChanged. Throws EInOutError.
  std::unique_ptr<PreparedDocument> PrepareFile(const std::string& fileName, SafeWriter& writer);

  // Claims the backup name of `fileName` in `writer`'s run, when backups are
  // on (see SafeWriter::ClaimBackupName). PrepareFile claims it too, first
  // come, first served; a front end that prepares documents side by side
  // claims them all in its order before it prepares the first. A document
  // whose backup name another one holds is refused once it would be
  // written, and left as it is.
  void ClaimBackupName(const std::string& fileName, SafeWriter& writer) const;
  // The journal the last PrepareFile (or ProcessFile) put its document back
  // from before reading it (see SafeWrite.h), or "" when there was none.
  // Set also when the run failed afterwards.
  const std::string& Restored() const { return restored_; }

  // Does all of ProcessFile but writing: the file is read as for a run, and
  // its new contents go to `out`. It is opened for reading only, so a page
  // the user may read but not write is previewed all the same. Returns the
  // number of tags that would change. Throws EInOutError. A document an
  // interrupted write left a journal of is refused: its bytes may be half
  // old, half new until a run puts them back.
  int PreviewFile(const std::string& fileName, DocumentOutput& out);

 private:
  friend class WindowPass;

  // The tag pass: every tag of the document through the rewriter, in order,
  // the document's bytes and the new tags into `out`.
  void FormatAllTags(DocumentReader& reader, DocumentOutput& out);
  // Follows comments and the text of text elements through the segments
  // that are no tags of the page: true when the segment stands in markup.
  // `atEnd`: the segment ends the document.
  bool InMarkup(std::string_view raw, bool atEnd);
  // A start tag of the page (its text, without brackets) that may open a
  // text element, or that is the html tag naming the XHTML namespace.
  void EnterElement(std::string_view tag);

  // The tag pass over one window of a document; returns where the unfinished
  // piece at its end begins (the window's size when `last`).
  size_t FormatWindow(std::string_view window, bool last, DocumentOutput& out);
  // `name`: the document's file name, empty for a document without one.
  void StartRun(std::string documentFolder, std::string_view name = {});
  void RecordMiss(std::string_view window, size_t at);
  // Records an IMG tag with a SRC that the tag pass itself leaves alone.
  void RecordPassMiss(std::string_view tag, std::string_view window, size_t at, MissReason reason,
                      std::string_view detail);
  // Counts the lines of the window up to `at`, for inputs read only once.
  void CountLinesTo(std::string_view window, size_t at);
  // Gives the misses their line numbers by reading the document once more,
  // from the start up to the last of them: a run that misses nothing never
  // counts a line.
  void ResolveLines(const DocumentReader& reader);

  // Where the tag pass stands: in markup, or inside a comment, or inside an
  // element whose content is text (script, iframe and the others, up to its
  // end tag; plaintext, to the end): tags there are no tags of the page.
  enum class Markup { Text, Comment, RawText, PlainText };

  int tagCounter_ = 0;
  std::string restored_;
  Markup markup_ = Markup::Text;
  size_t textElement_ = 0;  // which one, for RawText
  // The document is XHTML (an XML declaration, the XHTML namespace on its
  // html tag, or its name): added numbers are quoted.
  bool xhtml_ = false;
  // Named .xhtml or .xht, so browsers read it as XML: "/>" closes any
  // element, a text element too.
  bool readAsXml_ = false;
  std::string documentFolder_;
  std::string rewritten_;
  std::shared_ptr<ImageSizeCache> sizes_;
  bool sizesShared_ = false;
  RewriteScratch scratch_;
  TagMiss miss_;
  std::vector<ImageMiss> misses_;
  std::string documentEncoding_;  // as the document declares it, or empty
  struct Resolved {
    ImageSize size;
    std::string path;
  };
  std::unordered_map<std::string, Resolved> resolved_;
  uint64_t windowBase_ = 0;        // where the current window begins in the document
  bool countLinesAsRead_ = false;  // the input cannot be read twice
  uint64_t linesBefore_ = 0;       // line ends before `countedTo_`
  size_t countedTo_ = 0;           // in the current window
};

// The folder part of a document's name, ending in "/", or "" for a bare name.
std::string DocumentFolderOf(std::string_view fileName);

// For a preview: throws EInOutError when an interrupted write left a journal
// of the document `target`, whose bytes may then be half old, half new.
void RefuseInterruptedWrite(const std::string& target);

// The backup name: the extension of the last path component replaced by
// ".bak", or ".bak" appended when it has none. A name that already ends in
// ".bak" (any letter case) gets ".bak" appended, so that the backup never is
// the document itself.
std::string BackupNameOf(std::string_view fileName);

}  // namespace tamarind
