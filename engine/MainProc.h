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

#include "Options.h"
#include "css/PageStyles.h"
#include "files/FileIo.h"
#include "files/SafeWrite.h"
#include "html/TagRewriter.h"
#include "html/Tokenizer.h"
#include "names/PictureFinder.h"
#include "probe/Formats.h"

namespace tamarind {

// An IMG tag of a document left without a size, for the report of a run.
struct ImageMiss {
  uint64_t offset = 0;  // of the tag's "<" in the document
  uint64_t line = 0;    // 1-based line of that "<"
  MissReason reason = MissReason::NoPicture;
  ImageKind extension = ImageKind::None;
  std::string src;
  std::string path;    // the file looked for (empty when none was)
  std::string detail;  // see MissReason
  // StyleFixesSide: the stylesheet file (the document's name, or "-", for
  // the page's own styles) and the line of the style (0 for the tag's own
  // style attribute).
  std::string styleFile;
  uint64_t styleLine = 0;
};

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
  ProbeResult Get(const std::string& path, ImageFormats formats);

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
    std::unordered_map<std::string, ProbeResult, PathHash, std::equal_to<>> byPath;
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
  // The stylesheets the last run could not read (remote ones, missing
  // files), one line each.
  const std::vector<std::string>& StyleNotes() const { return pageStyles_.Notes(); }

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

  int TagCounter() const { return tagCounter_; }
  const std::string& DocumentFolder() const { return documentFolder_; }
  void SetDocumentFolder(std::string folder) { documentFolder_ = std::move(folder); }

  // The picture size of a path, probed once per run (or once for as long as
  // a shared cache lives).
  ProbeResult ProbeImage(const std::string& path);
  // The picture a SRC value names in the current document, as the run finds
  // it (see PictureFinder.h); the browser's reading of a value is looked for
  // once per value and run.
  ProbeResult FindPicture(std::string_view src, std::string& path);
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
  // Gathers the page's stylesheets before its tags are rewritten: every
  // stylesheet applies to every IMG, also to one that stands before it.
  // An input that cannot be read twice is read whole first.
  void GatherStyles(DocumentReader& reader, bool& more);
  void ScanForStyles(const std::function<void(css::StyleScan&)>& feed);
  void ScanFileForStyles(const DocumentReader& reader);
  // The tag pass met a stylesheet that the first window did not name.
  void LateStyleSheet();
  // The StyleCheck of the rewriter: the page's styles for one IMG tag.
  bool CheckStyles(std::string_view tag, bool styled, TagMiss& why) const;
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
  // An open <picture> element, up to its end tag: each of its <source>
  // tags gets a size of its own, and its IMG one only while every source
  // before it has both sides.
  bool inPicture_ = false;
  std::string unsizedSource_;  // the first source left without a size, as listed
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
  PictureFinder finder_;
  css::StyleSheetCache styleSheets_;  // kept from run to run while the files stay the same
  css::PageStyles pageStyles_;
  std::string pageName_;  // as the report names it: the file name given, or "-"
  // Where in the document the stylesheets not gathered yet begin, or
  // kAllGathered.
  static constexpr uint64_t kAllGathered = UINT64_MAX;
  uint64_t stylesFrom_ = kAllGathered;
  const DocumentReader* reader_ = nullptr;  // of the run, while it lasts
  uint64_t windowBase_ = 0;                 // where the current window begins in the document
  bool countLinesAsRead_ = false;           // the input cannot be read twice
  uint64_t linesBefore_ = 0;                // line ends before `countedTo_`
  size_t countedTo_ = 0;                    // in the current window
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
