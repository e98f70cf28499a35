#include "MainProc.h"

#include "Ascii.h"
#include "names/PathName.h"
#include "names/PictureName.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace tamarind {
namespace {

// Output gathered in memory, for documents that are not files.
class StringOutput : public DocumentOutput {
 public:
  explicit StringOutput(std::string& out) : out_(out) {}
  void Write(std::string_view bytes) override { out_.append(bytes); }

 private:
  std::string& out_;
};

// Output into the file that will replace a document. With WhenChanged, a
// small document is held in memory until it is known to change, so that a
// page that stays as it is costs no file at all; a large one goes to its
// file as usual, which is dropped at the end if it came out the same.
class NewContentsOutput : public DocumentOutput {
 public:
  NewContentsOutput(SafeWriter& writer, PreparedDocument& document, const DocumentReader& reader,
                    bool always)
      : writer_(writer), document_(document), reader_(reader), always_(always), held_(Held()) {
    held_.clear();
  }

  void Write(std::string_view bytes) override {
    Remember(bytes);
    if (file_) return file_->Write(bytes);
    if (always_ || held_.size() + bytes.size() > kHeldAtMost) return Open(bytes);
    held_.append(bytes);
  }

  void NoteChange(std::string_view oldBytes, size_t newLength) override {
    if (!differs_ && !SameAsLastWritten(oldBytes, newLength)) differs_ = true;
  }

  // The new contents finished: returns them, or none when the document is
  // to be left alone.
  std::unique_ptr<ReplacementFile> Finish() {
    if (!differs_ && !always_) return nullptr;  // a file made on the way goes
    if (!file_) Open({});
    file_->Finish();
    return std::move(file_);
  }
  bool Differs() const { return differs_; }

 private:
  static constexpr size_t kHeldAtMost = 256 * 1024;

  // Makes the file, with what was held and then `bytes`.
  void Open(std::string_view bytes) {
    file_ = std::make_unique<ReplacementFile>(writer_, document_.Target(), reader_.Status(),
                                              reader_.Handle());
    file_->Write(held_);
    held_.clear();
    file_->Write(bytes);
  }

  // One buffer per thread, kept from one document to the next: a site of
  // pages that stay as they are costs no memory of its own per page.
  static std::string& Held() {
    static thread_local std::string held;
    held.reserve(kHeldAtMost);
    return held;
  }

  // The last few pieces written: a change is written as a few pieces ("<",
  // the tag, ">") right before it is noted.
  void Remember(std::string_view bytes) {
    recent_[next_] = bytes;
    next_ = (next_ + 1) % recent_.size();
  }

  // Whether the last `newLength` bytes written equal `oldBytes` (a tag
  // rebuilt to the very bytes it had).
  bool SameAsLastWritten(std::string_view oldBytes, size_t newLength) const {
    if (oldBytes.size() != newLength) return false;
    size_t left = newLength;
    for (size_t i = 0; i < recent_.size() && left > 0; ++i) {
      const std::string_view piece = recent_[(next_ + recent_.size() - 1 - i) % recent_.size()];
      const size_t take = std::min(left, piece.size());
      if (piece.substr(piece.size() - take) != oldBytes.substr(left - take, take)) return false;
      left -= take;
    }
    return left == 0;
  }

  SafeWriter& writer_;
  PreparedDocument& document_;
  const DocumentReader& reader_;
  const bool always_;
  std::unique_ptr<ReplacementFile> file_;
  std::string& held_;
  bool differs_ = false;
  std::array<std::string_view, 4> recent_{};
  size_t next_ = 0;
};

// Whether the first bytes of a document may be HTML: no NUL byte among
// them, and not the signature of a compressed file, a PDF or a picture.
// Such a file, rewritten as HTML, would only be damaged.
constexpr size_t kSniffedBytes = 64 * 1024;

bool LooksLikeHtml(std::string_view start) {
  start = start.substr(0, kSniffedBytes);
  if (start.find('\0') != std::string_view::npos) return false;
  static constexpr std::string_view kSignatures[] = {
      "\x1f\x8b",  // gzip
      "PK\x03\x04", "PK\x05\x06",
      "PK\x07\x08",  // zip
      "%PDF-",       // PDF
  };
  for (const std::string_view signature : kSignatures) {
    if (start.substr(0, signature.size()) == signature) return false;
  }
  return !StartsWithPictureSignature(start);
}

// The file a document's name stands for: a symbolic link is followed, so
// that its target is rewritten and the link itself stays in place.
std::string ResolveTarget(const std::string& fileName) {
  struct stat st {};
  if (::lstat(fileName.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return fileName;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(fileName.c_str(), nullptr),
                                                   &std::free);
  if (!real) throw EInOutError::FromErrno(errno);
  return real.get();
}

std::string_view BaseNameOf(std::string_view name) {
  const size_t slash = LastSeparator(name);
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

// A journal is never read as a document, nor written as one: the run that
// restores from it would bring back what was made of it.
void RefuseJournal(const std::string& fileName, const std::string& target) {
  if (IsJournalName(fileName) || IsJournalName(target)) {
    throw EInOutError(kJournalNotDocument, "中断された書き込みのジャーナルで、文書ではありません",
                      "the journal of an interrupted write, not a document");
  }
}

// A tag name ends at a blank, a "/" or a ">"; at the end of a segment only
// when that is the end of the document ("</style<" is text to a browser).
bool EndsTagName(std::string_view text, size_t at, bool atEnd) {
  if (at >= text.size()) return atEnd;
  const char c = text[at];
  return IsHtmlSpace(c) || c == '/' || c == '>';
}

// A start tag named `lowerName` (any letter case): <script>, <SCRIPT type=...>;
// not <scripts>.
bool IsStartTagNamed(std::string_view tagText, std::string_view lowerName) {
  return StartsWithIgnoringAsciiCase(tagText, lowerName) &&
         EndsTagName(tagText, lowerName.size(), true);
}

// Whether a comment ends with this segment: browsers end one at "-->" and
// at "--!>". Every ">" ends a segment, so either stands at its end.
bool EndsComment(std::string_view raw, size_t from) {
  const auto endsWith = [raw, from](std::string_view end) {
    return raw.size() >= from + end.size() && raw.substr(raw.size() - end.size()) == end;
  };
  return endsWith("-->") || endsWith("--!>");
}

// The number of LF bytes, 16 at a time where the processor allows.
uint64_t CountLineEnds(std::string_view text) {
  uint64_t count = 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
    count += static_cast<uint64_t>(
        __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lf)))));
  }
#endif
  for (; i < text.size(); ++i) count += text[i] == '\n' ? 1u : 0u;
  return count;
}

// The elements whose content is text to a browser, up to their end tag
// (plaintext: to the end of the document). A "/" at the end of a start tag
// closes no element in HTML, so <iframe src=x /> and <textarea/> open text
// like any other, XHTML-style pages served as HTML included: the browser
// shows what follows a <textarea/> inside the text box. Only in a document
// read as XML does "/>" close the element. The IMG tags inside iframe,
// noembed and noframes are listed as left alone: their author almost
// certainly meant them to show.
struct TextElement {
  std::string_view name;
  bool toTheEnd;
  bool listed;
};
constexpr TextElement kTextElements[] = {
    {"script", false, false}, {"style", false, false},  {"textarea", false, false},
    {"title", false, false},  {"xmp", false, false},    {"plaintext", true, false},
    {"iframe", false, true},  {"noembed", false, true}, {"noframes", false, true},
};

// The first letters of the start tags the tag pass looks at more closely:
// the text elements', html's, picture's and link's.
constexpr auto kFirstLetters = [] {
  std::array<bool, 256> table{};
  const auto add = [&table](char c) {
    table[static_cast<unsigned char>(c)] = true;
    table[static_cast<unsigned char>(c - 'a' + 'A')] = true;
  };
  for (const TextElement& e : kTextElements) add(e.name[0]);
  add('h');
  add('p');  // picture
  add('l');
  return table;
}();

// An end tag "</name" (any letter case) that a blank, "/" or ">" ends.
bool IsEndTagOf(std::string_view raw, std::string_view name, bool atEnd) {
  return raw.size() > 2 && raw[0] == '<' && raw[1] == '/' &&
         StartsWithIgnoringAsciiCase(raw.substr(2), name) &&
         EndsTagName(raw, 2 + name.size(), atEnd);
}

// Whether a document begins, after a byte order mark and blanks, with an
// XML declaration.
bool BeginsWithXmlDeclaration(std::string_view doc) {
  if (doc.substr(0, 3) == "\xEF\xBB\xBF") doc.remove_prefix(3);
  size_t i = 0;
  while (i < doc.size() && IsBlank(doc[i])) ++i;
  doc.remove_prefix(i);
  return doc.size() > 5 && doc.substr(0, 5) == "<?xml" && IsBlank(doc[5]);
}

bool IsXhtmlName(std::string_view name) {
  const std::string_view ext = ExtensionOf(name);
  return EqualsIgnoringAsciiCase(ext, ".xhtml") || EqualsIgnoringAsciiCase(ext, ".xht");
}

}  // namespace

std::string DocumentFolderOf(std::string_view fileName) {
  return FolderPrefixOf(fileName);
}

void RefuseInterruptedWrite(const std::string& target) {
  if (!HasJournal(target)) return;
  const std::string journal = JournalNameOf(target);
  throw EInOutError(kInterruptedWrite,
                    "書き込みの中断で " + journal +
                        " が残っています。-n を付けずに実行すると、まずここから元に戻します",
                    "an interrupted write left " + journal +
                        "; a run without -n first puts the page back from it");
}

std::string BackupNameOf(std::string_view fileName) {
  const size_t slash = LastSeparator(fileName);
  const size_t dot = fileName.rfind('.');
  const bool hasExtension =
      dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
  if (!hasExtension) return std::string(fileName) + ".bak";
  // The document's own name would be its backup: keep both.
  if (EqualsIgnoringAsciiCase(fileName.substr(dot), ".bak")) return std::string(fileName) + ".bak";
  return std::string(fileName.substr(0, dot)) + ".bak";
}

ProbeResult ImageSizeCache::Get(const std::string& path, ImageFormats formats) {
  {
    std::shared_lock lock(mutex_);
    for (const Sizes& set : sizes_) {
      if (set.formats != formats) continue;
      const auto it = set.byPath.find(path);
      if (it != set.byPath.end()) return it->second;
    }
  }
  // Probed outside the lock: two workers may read the same picture at once,
  // which costs a little and changes nothing.
  const ProbeResult size = ProbeImageFile(path, formats);
  std::unique_lock lock(mutex_);
  auto set = std::find_if(sizes_.begin(), sizes_.end(),
                          [formats](const Sizes& s) { return s.formats == formats; });
  if (set == sizes_.end()) set = sizes_.insert(sizes_.end(), Sizes{formats, {}});
  set->byPath.emplace(path, size);
  return size;
}

ProbeResult MainProc::ProbeImage(const std::string& path) {
  // A page names the same few pictures again and again; each is read once.
  if (!sizes_) sizes_ = std::make_shared<ImageSizeCache>();
  return sizes_->Get(path, options.Formats);
}

ProbeResult MainProc::FindPicture(std::string_view src, std::string& path) {
  const ImageProbe probe = [this](const std::string& file) { return ProbeImage(file); };
  return finder_.Find(src, {&options, documentFolder_, documentEncoding_}, probe, path);
}

void MainProc::StartRun(std::string documentFolder, std::string_view name) {
  tagCounter_ = 0;
  misses_.clear();
  finder_.StartDocument();
  pageStyles_.Clear();
  pageName_ = name.empty() ? "-" : name;
  stylesFrom_ = kAllGathered;
  reader_ = nullptr;
  documentEncoding_.clear();
  windowBase_ = 0;
  countLinesAsRead_ = false;
  linesBefore_ = 0;
  countedTo_ = 0;
  markup_ = Markup::Text;
  inPicture_ = false;
  unsizedSource_.clear();
  readAsXml_ = IsXhtmlName(name);
  xhtml_ = readAsXml_;
  documentFolder_ = std::move(documentFolder);
  if (!sizesShared_) sizes_.reset();  // pictures may have changed since the last run
}

// The tag pass over one window. Untouched bytes are passed on in runs as
// long as possible; only a tag that changed interrupts a run. Joining
// segments this way writes exactly the document, except for the ">" that
// closes a tag left open at its end.
class WindowPass {
 public:
  WindowPass(MainProc& engine, std::string_view window, bool last, DocumentOutput& out)
      : e_(engine), window_(window), last_(last), out_(out), carry_(window.size()) {
    find_ = [this](std::string_view src, std::string& path) { return e_.FindPicture(src, path); };
    context_.options = &e_.options;
    context_.find = &find_;
    context_.trace = &e_.trace;
    context_.scratch = &e_.scratch_;
    context_.miss = e_.collectMisses ? &e_.miss_ : nullptr;
    styles_ = [this](std::string_view tag, bool styled, TagMiss& why) {
      return e_.CheckStyles(tag, styled, why);
    };
    context_.styles = &styles_;
  }

  size_t Run() {
    SplitDocument(window_, [this](const Segment& s) { return Take(s); });
    out_.Write(window_.substr(runStart_, carry_ - runStart_));
    if (openAtEnd_) {
      out_.Write(">");
      out_.NoteChange({}, 1);
    }
    return carry_;
  }

 private:
  using Markup = MainProc::Markup;

  // One segment of the split; false stops the split at the window's end.
  bool Take(const Segment& s) {
    if (s.begin < skipTo_) return true;  // inside a tag read on past its segment
    const char* raw = window_.data() + s.begin;
    const size_t rawSize = s.end - s.begin;
    const bool atWindowEnd = s.end == window_.size();
    // Most segments are plain text in markup: nothing to look at.
    if (!s.isTag && e_.markup_ == Markup::Text && !atWindowEnd && raw[0] != '<') return true;
    // The piece that reaches the end of a window may go on in bytes not read
    // yet. A tag (or a "<" still waiting for its tag) is left for the next
    // window. Text is never rewritten, so it is passed on as it is and a run
    // of text without brackets is never held whole; only its last three
    // bytes wait, since "--" or "--!" there may end a comment with the ">"
    // that comes next. Every piece before it stands, as the split decides
    // from left to right.
    if (!last_ && atWindowEnd) {
      if (s.isTag || raw[0] == '<') return Carry(s.begin);
      if (raw[rawSize - 1] != '>') return Carry(s.end - std::min<size_t>(3, rawSize));
      // Text closed by a stray ">" is whole: it stands like any other.
    }
    if (e_.markup_ == Markup::Text && OpensTag(window_, s.begin)) return Tag(s);
    if (s.isTag) openAtEnd_ = !s.closed;
    // Outside comments and text elements only a segment that begins "<!"
    // can change where the pass stands; the rest skip the call.
    if (e_.markup_ == Markup::Text && !(rawSize >= 4 && raw[0] == '<' && raw[1] == '!')) {
      return true;
    }
    if (e_.InMarkup({raw, rawSize}, last_ && atWindowEnd)) {
      // The end tag of a text element, read as a tag of the page.
      return e_.markup_ == Markup::Text && OpensTag(window_, s.begin) ? Tag(s) : true;
    }
    if (e_.markup_ == Markup::RawText && kTextElements[e_.textElement_].listed && s.isTag) {
      e_.RecordPassMiss(s.text, window_, s.begin, MissReason::InsideText,
                        kTextElements[e_.textElement_].name);
    }
    return true;
  }

  bool Carry(size_t from) {
    carry_ = from;
    return false;
  }

  // A tag of the page, from its "<" to the ">" that ends it for a browser,
  // which may lie segments further on.
  bool Tag(const Segment& s) {
    const TagExtent t = ReadTag(window_, s.begin);
    if (!last_ && t.end == window_.size()) return Carry(s.begin);
    skipTo_ = t.end;
    const size_t textEnd = t.closed ? t.end - 1 : t.end;
    const std::string_view text = window_.substr(s.begin + 1, textEnd - s.begin - 1);
    // A tag left open at the end is closed, unless a quoted value of it is
    // still open: then it is left as it came.
    openAtEnd_ = !t.closed && !t.openQuote;
    if (kFirstLetters[static_cast<unsigned char>(text[0])]) {
      e_.EnterElement(text);
      if (e_.stylesFrom_ != MainProc::kAllGathered && e_.windowBase_ + s.begin >= e_.stylesFrom_ &&
          (IsStartTagNamed(text, "style") || IsStartTagNamed(text, "link"))) {
        e_.LateStyleSheet();
      }
    }
    const bool source = e_.inPicture_ && AsciiLower(text[0]) == 's';
    if (e_.inPicture_ && text[0] == '/' &&
        IsEndTagOf(window_.substr(s.begin, t.end - s.begin), "picture", true)) {
      e_.inPicture_ = false;
    }
    if (!MayBeImageTag(text) && !source) return true;
    if (t.openQuote) {
      e_.RecordPassMiss(text, window_, s.begin, MissReason::NotClosed, {});
    } else {
      Format(text, s.begin, t.end, source);
    }
    return true;
  }

  // The tag [begin, end) of the window through the rewriter: an IMG, or a
  // <source> of a picture.
  void Format(std::string_view text, size_t begin, size_t end, bool source) {
    context_.xhtml = e_.xhtml_;
    context_.pictureSource = source;
    context_.unsizedSource = e_.inPicture_ && !source ? e_.unsizedSource_ : std::string_view();
    // Inside a picture, whether a source got its size decides its IMG's.
    context_.miss = e_.collectMisses || e_.inPicture_ ? &e_.miss_ : nullptr;
    const bool changed = tamarind::FormatImageTag(text, context_, e_.rewritten_);
    if (source && e_.miss_.missed && e_.unsizedSource_.empty()) e_.unsizedSource_ = e_.miss_.src;
    if (e_.miss_.missed && e_.collectMisses) e_.RecordMiss(window_, begin);
    e_.miss_.missed = false;
    if (!changed) return;
    ++e_.tagCounter_;
    out_.Write(window_.substr(runStart_, begin - runStart_));
    out_.Write("<");
    out_.Write(e_.rewritten_);
    out_.Write(">");
    out_.NoteChange(window_.substr(begin, end - begin), e_.rewritten_.size() + 2);
    runStart_ = end;
    openAtEnd_ = false;
  }

  MainProc& e_;
  const std::string_view window_;
  const bool last_;
  DocumentOutput& out_;
  PictureLookup find_;
  StyleCheck styles_;
  RewriteContext context_;
  size_t runStart_ = 0;
  size_t carry_;
  size_t skipTo_ = 0;
  bool openAtEnd_ = false;
};

size_t MainProc::FormatWindow(std::string_view window, bool last, DocumentOutput& out) {
  return WindowPass(*this, window, last, out).Run();
}

void MainProc::RecordMiss(std::string_view window, size_t at) {
  miss_.missed = false;
  ImageMiss m;
  m.offset = windowBase_ + at;
  m.reason = miss_.reason;
  m.extension = miss_.extension;
  m.src.assign(miss_.src);
  m.detail = miss_.detail;
  m.styleFile.assign(miss_.styleFile);
  m.styleLine = miss_.styleLine;
  if (m.reason != MissReason::EmptySrc && m.reason != MissReason::NotClosed &&
      m.reason != MissReason::InsideText && m.reason != MissReason::SrcsetWidths &&
      m.reason != MissReason::SourceUnsized) {
    m.path = scratch_.path;
  }
  if (countLinesAsRead_) {
    CountLinesTo(window, at);
    m.line = linesBefore_ + 1;
  }
  misses_.push_back(std::move(m));
}

void MainProc::RecordPassMiss(std::string_view tag, std::string_view window, size_t at,
                              MissReason reason, std::string_view detail) {
  std::string_view name, attributes, src;
  if (!collectMisses || !MayBeImageTag(tag) || !SplitImageTag(tag, name, attributes) ||
      !AttributeValue(tag, "SRC", src)) {
    return;
  }
  miss_ = {true, reason, ImageKind::None, src, detail, {}, 0};
  RecordMiss(window, at);
}

void MainProc::CountLinesTo(std::string_view window, size_t at) {
  linesBefore_ +=
      static_cast<uint64_t>(std::count(window.begin() + static_cast<ptrdiff_t>(countedTo_),
                                       window.begin() + static_cast<ptrdiff_t>(at), '\n'));
  countedTo_ = at;
}

void MainProc::ResolveLines(const DocumentReader& reader) {
  if (misses_.empty() || countLinesAsRead_) return;
  std::vector<char> buffer(256 * 1024);
  uint64_t pos = 0, lines = 0;
  size_t i = 0;
  while (i < misses_.size()) {
    const size_t got = reader.ReadAt(pos, buffer.data(), buffer.size());
    if (got == 0) return;  // the lines stay unknown (0); the run itself stands
    const char* const data = buffer.data();
    size_t from = 0;
    for (; i < misses_.size() && misses_[i].offset < pos + got; ++i) {
      const auto to = static_cast<size_t>(misses_[i].offset - pos);
      lines += CountLineEnds({data + from, to - from});
      from = to;
      misses_[i].line = lines + 1;
    }
    lines += CountLineEnds({data + from, got - from});
    pos += got;
  }
}

bool MainProc::InMarkup(std::string_view raw, bool atEnd) {
  // Every "<" of a document begins a segment, and every ">" ends one, so
  // "<!--", "</script" and "-->" are each found whole within one segment:
  // the first two at its start, the last at its end. One state, carried from
  // segment to segment (and window to window), keeps the pass linear.
  switch (markup_) {
    case Markup::Comment:
      if (EndsComment(raw, 0)) markup_ = Markup::Text;
      return false;
    case Markup::RawText:
      if (!IsEndTagOf(raw, kTextElements[textElement_].name, atEnd)) return false;
      markup_ = Markup::Text;
      return true;
    case Markup::PlainText:
      return false;
    case Markup::Text:
      break;
  }
  if (raw.size() >= 4 && raw[0] == '<' && raw[1] == '!' && raw[2] == '-' && raw[3] == '-') {
    // "<!-->" and "<!--->" are whole empty comments.
    const std::string_view rest = raw.substr(4);
    if (rest != ">" && rest != "->" && !EndsComment(raw, 4)) markup_ = Markup::Comment;
    return false;
  }
  return true;
}

void MainProc::EnterElement(std::string_view tag) {
  const bool selfClosing = tag.back() == '/';
  for (size_t i = 0; i < std::size(kTextElements); ++i) {
    const TextElement& e = kTextElements[i];
    if (AsciiLower(tag[0]) != e.name[0] || !IsStartTagNamed(tag, e.name)) continue;
    if (selfClosing && readAsXml_) return;
    markup_ = e.toTheEnd ? Markup::PlainText : Markup::RawText;
    textElement_ = i;
    return;
  }
  if (IsStartTagNamed(tag, "picture")) {
    inPicture_ = true;
    unsizedSource_.clear();
    return;
  }
  std::string_view ns;
  if (!xhtml_ && IsStartTagNamed(tag, "html") && AttributeValue(tag, "XMLNS", ns) &&
      ns == "http://www.w3.org/1999/xhtml") {
    xhtml_ = true;
  }
}

void MainProc::ScanForStyles(const std::function<void(css::StyleScan&)>& feed) {
  const css::PageStyles::Resolver resolve = [this](std::string_view href, std::string_view base,
                                                   std::string& why) {
    return LinkedFile(href, {&options, base, documentEncoding_}, why);
  };
  css::StyleScan scan(
      [&](std::string_view text, uint32_t line) {
        pageStyles_.AddStyleElement(text, line, documentFolder_, styleSheets_, resolve);
      },
      [&](std::string_view tag) {
        pageStyles_.AddLink(tag, documentFolder_, styleSheets_, resolve);
      });
  feed(scan);
}

void MainProc::GatherStyles(DocumentReader& reader, bool& more) {
  reader_ = &reader;
  stylesFrom_ = kAllGathered;
  // Most pages are read whole in the first window, and are scanned there.
  // A longer one is read once more only when its first window names a
  // stylesheet; else the tag pass gathers them should it meet one.
  if (more && !css::NamesStyleSheet(reader.Window())) {
    stylesFrom_ = reader.Window().size();
    return;
  }
  if (more && countLinesAsRead_) {
    // Standard input can't be read twice: it is held whole.
    while (more) more = reader.ReadMore();
  }
  if (!more) {
    ScanForStyles([&reader](css::StyleScan& scan) { scan.Feed(reader.Window(), true); });
    return;
  }
  ScanFileForStyles(reader);
}

void MainProc::ScanFileForStyles(const DocumentReader& reader) {
  ScanForStyles([&reader](css::StyleScan& scan) {
    std::vector<char> piece(1024 * 1024);
    uint64_t at = 0;
    for (;;) {
      const size_t got = reader.ReadAt(at, piece.data(), piece.size());
      scan.Feed({piece.data(), got}, got == 0);
      if (got == 0) return;
      at += got;
    }
  });
}

void MainProc::LateStyleSheet() {
  stylesFrom_ = kAllGathered;
  if (countLinesAsRead_ || reader_ == nullptr) {
    pageStyles_.Note("a stylesheet after the first " + std::to_string(windowBase_ / 1024) +
                     " KB of standard input: not read");
    return;
  }
  ScanFileForStyles(*reader_);
  if (tagCounter_ > 0) {
    pageStyles_.Note("a stylesheet stands after the first " + std::to_string(windowBase_ / 1024) +
                     " KB: the " + std::to_string(tagCounter_) +
                     " tags before it were changed without it");
  }
}

bool MainProc::CheckStyles(std::string_view tag, bool styled, TagMiss& why) const {
  if (pageStyles_.Empty() && !styled) return false;
  const css::StyleFix fix = pageStyles_.Check(tag, styled);
  if (!fix.fixes) return false;
  why.reason = MissReason::StyleFixesSide;
  using What = css::StyleFix::What;
  why.detail = fix.what == What::Width    ? "width but not its height"
               : fix.what == What::Height ? "height but not its width"
                                          : "proportions (aspect-ratio) but not its height";
  why.styleFile = fix.file.empty() ? std::string_view(pageName_) : fix.file;
  why.styleLine = fix.line;
  return true;
}

void MainProc::FormatAllTags(DocumentReader& reader, DocumentOutput& out) {
  // The start of the document is looked at before anything is written.
  // A plain file read whole already needs no second read (which would only
  // grow the window for nothing).
  const struct stat& status = reader.Status();
  bool more = reader.ReadMore();
  while (more && reader.Window().size() < kSniffedBytes &&
         !(S_ISREG(status.st_mode) && reader.Window().size() >= uint64_t(status.st_size))) {
    more = reader.ReadMore();
  }
  if (!LooksLikeHtml(reader.Window())) throw EInOutError(kNotAnHtmlDocument);
  // The first window holds the document's first kilobyte, where it names
  // its encoding (a window is never smaller, but for a shorter document).
  documentEncoding_ = DeclaredEncoding(reader.Window());
  if (BeginsWithXmlDeclaration(reader.Window())) xhtml_ = true;
  GatherStyles(reader, more);
  for (;;) {
    const size_t done = FormatWindow(reader.Window(), !more, out);
    if (!more) return;
    if (countLinesAsRead_) {
      CountLinesTo(reader.Window(), done);
      countedTo_ = 0;
    }
    reader.Consume(done);
    windowBase_ += done;
    more = reader.ReadMore();
  }
}

std::string MainProc::ProcessText(std::string_view document, std::string_view documentFolder) {
  StartRun(std::string(documentFolder));
  countLinesAsRead_ = true;
  documentEncoding_ = DeclaredEncoding(document);
  if (BeginsWithXmlDeclaration(document)) xhtml_ = true;
  ScanForStyles([document](css::StyleScan& scan) { scan.Feed(document, true); });
  std::string out;
  out.reserve(document.size() + document.size() / 8);
  StringOutput sink(out);
  FormatWindow(document, true, sink);
  return out;
}

int MainProc::ProcessStream(int input, DocumentOutput& out, std::string_view documentFolder) {
  StartRun(std::string(documentFolder));
  countLinesAsRead_ = true;
  DocumentReader reader;
  reader.Attach(input);
  FormatAllTags(reader, out);
  return tagCounter_;
}

int MainProc::PreviewFile(const std::string& fileName, DocumentOutput& out) {
  StartRun(DocumentFolderOf(fileName), fileName);
  const std::string target = ResolveTarget(fileName);
  RefuseJournal(fileName, target);
  RefuseInterruptedWrite(target);
  DocumentReader reader;
  reader.Open(fileName, DocumentReader::Access::ReadOnly);
  FormatAllTags(reader, out);
  ResolveLines(reader);
  reader.Close();
  return tagCounter_;
}

int MainProc::ProcessFile(const std::string& fileName) {
  SafeWriter writer(1);
  const std::unique_ptr<PreparedDocument> document = PrepareFile(fileName, writer);
  if (document->contents_) writer.PutInPlace(*document);
  return document->Changed();
}

void MainProc::ClaimBackupName(const std::string& fileName, SafeWriter& writer) const {
  if (options.MakeBAKFile) writer.ClaimBackupName(BackupNameOf(fileName), fileName);
}

std::unique_ptr<PreparedDocument> MainProc::PrepareFile(const std::string& fileName,
                                                        SafeWriter& writer) {
  StartRun(DocumentFolderOf(fileName), fileName);
  restored_.clear();
  std::string target = ResolveTarget(fileName);
  RefuseJournal(fileName, target);
  // A write in place that was cut short may have left the page half old,
  // half new: it is put back from its journal before it is read.
  restored_ = RestoreFromJournal(target);
  DocumentReader reader;
  reader.Open(fileName, DocumentReader::Access::ReadWrite);
  auto document = std::make_unique<PreparedDocument>(
      fileName, std::move(target), reader.Status(),
      options.MakeBAKFile ? BackupNameOf(fileName) : std::string());
  // The tag pass writes the new contents straight into the file that will
  // replace the document, so the document is read and written once.
  NewContentsOutput out(writer, *document, reader, options.WriteBackMode == WriteBack::Always);
  FormatAllTags(reader, out);
  document->contents_ = out.Finish();
  if (document->contents_ && options.MakeBAKFile) {
    const std::string holder = writer.ClaimBackupName(document->backupName_, fileName);
    if (holder != fileName) {
      const std::string backup(BaseNameOf(document->backupName_));
      const std::string other(BaseNameOf(holder));
      throw EInOutError(
          kBackupNameTaken,
          "バックアップの名前 " + backup + " は " + other +
              " が使っています（-B を付けるか、どちらかの名前を変えてください）",
          "backup name " + backup + " is taken by " + other + "; use -B or rename one");
    }
  }
  ResolveLines(reader);
  reader.Close();
  document->changed_ = tagCounter_;
  document->unchanged_ = !out.Differs();
  return document;
}

}  // namespace tamarind
