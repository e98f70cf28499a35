// MainProc: the tag-processing engine.
//
// A run reads one HTML document whole, cuts it into tag and text segments,
// hands every tag to the IMG tag rewriter, and writes the document back with
// the rewritten tags. Everything but a rewritten IMG tag is written back byte
// for byte. The engine knows no encoding: names and texts are byte strings,
// and only ASCII letters are ever compared without regard to case.
//
// All state of the engine lives in one MainProc object, so that tests and
// workers can each have their own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "FileIo.h"
#include "JpegUtil.h"

namespace tamarind {

// What a run does besides adding the sizes.
struct ProcessingOptions {
  bool AddALTAttribute = false;       // add alt="file name" to a tag without ALT
  bool MakeBAKFile = false;           // keep the document as it was under the backup name
  bool Parameter_OverWrite = false;   // rebuild measured tags so new sizes replace old ones
  bool Parameter_QuoteWrite = false;  // write the numbers between double quotes
  std::string Parameter_ABSFolder;    // the local folder standing for the web root "/"
};

// Receives the trace lines of the rewriter, one call per line. An empty
// function means no trace is kept (and none is built).
using TraceLog = std::function<void(std::string_view line)>;

// ---------------------------------------------------------------------------
// Segments (the document tokenizer)

// One piece of a document: the text of a tag, without its brackets, or a run
// of text outside tags. [begin, end) are the bytes of the document that the
// piece stands for, brackets included, so the pieces of a document cover it
// exactly, in order and without overlap.
struct Segment {
  bool isTag = false;
  bool closed = true;  // false only for a tag cut off by the end of the document
  std::string_view text;
  size_t begin = 0;
  size_t end = 0;
};

// Splits a document into segments and calls AddSegment(const Segment&) for
// each, in order. Only "<" and ">" are looked at. Joining the segments (a tag
// as "<" text ">") gives the document back, except that a tag left open at
// the end comes back closed. Linear in the size of the document.
template <typename Sink>
void SplitDocument(std::string_view doc, Sink&& AddSegment);

// The segment list of a document in its written-out form: "TAG:" or "MSG:"
// followed by the segment's text. For tests and for looking at a document.
std::vector<std::string> SegmentItems(std::string_view doc);

// The segments joined back into a document.
std::string JoinSegmentItems(const std::vector<std::string>& items);

// ---------------------------------------------------------------------------
// The IMG tag rewriter

// The answer of a picture size probe.
struct ImageSize {
  bool found = false;
  int32_t width = 0;
  int32_t height = 0;
};
using ImageProbe = std::function<ImageSize(const std::string& path)>;

// Working storage of the rewriter, kept from one tag to the next so that a
// document of many IMG tags does not allocate for each of them.
struct RewriteScratch {
  struct Token {
    std::string_view text;
    size_t offset;  // in the tag text
  };
  struct Entry {
    std::string_view name;
    std::string_view value;
    bool hasValue;
  };
  std::vector<Token> tokens;
  std::vector<Entry> entries;
  std::string path;
  std::string additions;
};

// Everything the rewriter reads besides the tag itself.
struct RewriteContext {
  const ProcessingOptions* options = nullptr;
  std::string_view documentFolder;  // ends in "/" or is empty
  const ImageProbe* probe = nullptr;
  const TraceLog* trace = nullptr;    // may be null or empty
  RewriteScratch* scratch = nullptr;  // may be null
};

// Rewrites the text of one tag (without its brackets). Returns true and sets
// `result` when the tag changed; returns false and leaves `result` alone when
// the tag stays as it is (any tag that is not IMG, an IMG that got nothing).
bool FormatImageTag(std::string_view tag, const RewriteContext& context, std::string& result);

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
};

class MainProc {
 public:
  ProcessingOptions options;
  TraceLog trace;

  // Processes one HTML file in place and returns the number of tags changed.
  // The file is written back on every run. With MakeBAKFile the file as it
  // was is kept under its backup name. Throws EInOutError; on an error the
  // document is as it was.
  int ProcessFile(const std::string& fileName);

  // Processes a document held in memory; SRC values are resolved against
  // `documentFolder`. Returns the written form.
  std::string ProcessText(std::string_view document, std::string_view documentFolder = {});

  // The rewriter on the engine's own state: counts the tag when it changed.
  std::string FormatImageTag(std::string_view tag);

  int TagCounter() const { return tagCounter_; }
  const std::string& DocumentFolder() const { return documentFolder_; }
  void SetDocumentFolder(std::string folder) { documentFolder_ = std::move(folder); }

  // The picture size of a path, probed once per run.
  ImageSize ProbeImage(const std::string& path);

 private:
  void FormatAllTags(std::string_view doc, DocumentOutput& out);
  void StartRun(std::string documentFolder);

  int tagCounter_ = 0;
  std::string documentFolder_;
  DocumentSource source_;
  struct PathHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
  };
  std::unordered_map<std::string, ImageSize, PathHash, std::equal_to<>> sizeCache_;
  RewriteScratch scratch_;
};

// The folder part of a document's name, ending in "/", or "" for a bare name.
std::string DocumentFolderOf(std::string_view fileName);

// The backup name: the extension of the last path component replaced by
// ".bak", or ".bak" appended when it has none. A name that already ends in
// ".bak" (any letter case) gets ".bak" appended, so that the backup never is
// the document itself.
std::string BackupNameOf(std::string_view fileName);

// ---------------------------------------------------------------------------

template <typename Sink>
void SplitDocument(std::string_view doc, Sink&& AddSegment) {
  constexpr size_t npos = std::string_view::npos;
  const size_t n = doc.size();
  size_t pos = 0;       // start of the remainder
  bool inTag = false;   // a "<" has been consumed, its ">" not found yet
  size_t tagStart = 0;  // where that "<" stands
  size_t nextLt = doc.find('<');
  size_t nextGt = doc.find('>');
  Segment s;
  auto emit = [&](bool isTag, bool closed, size_t begin, size_t end, size_t textBegin,
                  size_t textEnd) {
    s.isTag = isTag;
    s.closed = closed;
    s.begin = begin;
    s.end = end;
    s.text = doc.substr(textBegin, textEnd - textBegin);
    AddSegment(static_cast<const Segment&>(s));
  };
  while (pos < n) {
    // Each bracket's next position is searched again only once the remainder
    // has moved past it, so every byte is looked at a bounded number of times
    // even in a document of many "<" and no ">".
    if (nextLt != npos && nextLt < pos) nextLt = doc.find('<', pos);
    if (nextGt != npos && nextGt < pos) nextGt = doc.find('>', pos);
    if (nextLt == npos && nextGt == npos) {
      if (inTag) {
        emit(true, false, tagStart, n, tagStart + 1, n);  // a tag left open at the end
      } else {
        emit(false, true, pos, n, pos, n);
      }
      return;
    }
    if (nextLt < nextGt) {
      const size_t p = nextLt;
      if (inTag) {
        // The earlier "<" opened no tag: it stays text, with what follows it.
        emit(false, true, tagStart, p, tagStart, p);
      } else if (p > pos) {
        emit(false, true, pos, p, pos, p);
      }
      inTag = true;
      tagStart = p;
      pos = p + 1;
    } else {
      const size_t q = nextGt;
      if (inTag) {
        emit(true, true, tagStart, q + 1, tagStart + 1, q);
        inTag = false;
      } else {
        emit(false, true, pos, q + 1, pos, q + 1);  // a stray ">" is text
      }
      pos = q + 1;
    }
  }
  // The document's last byte was a "<" with nothing after it.
  if (inTag) emit(false, true, tagStart, n, tagStart, n);
}

}  // namespace tamarind
