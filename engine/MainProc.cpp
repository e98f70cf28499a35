#include "MainProc.h"

#include "Ascii.h"
#include "PathName.h"
#include "PictureName.h"

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
      "PK\x03\x04",
      "PK\x05\x06",
      "PK\x07\x08",         // zip
      "%PDF-",              // PDF
      "\x89PNG\r\n\x1a\n",  // PNG
      "\xff\xd8\xff",       // JPEG
      "GIF87a",
      "GIF89a",  // GIF
  };
  for (const std::string_view signature : kSignatures) {
    if (start.substr(0, signature.size()) == signature) return false;
  }
  return true;
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
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '/' || c == '>';
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

// What the rewriter needs of a probe's answer.
ImageSize SizeOf(const ProbeResult& probe) {
  ImageSize size;
  size.found = probe.Found();
  size.width = static_cast<int32_t>(probe.width);
  size.height = static_cast<int32_t>(probe.height);
  size.outcome = probe.outcome;
  size.extension = probe.extension;
  return size;
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

// The second byte of a segment that may open a comment or a text element:
// "<!", "<s(cript|tyle)", "<t(extarea|itle)", "<x(mp)", "<p(laintext)".
constexpr auto kMayChangeMarkup = [] {
  std::array<bool, 256> table{};
  for (const char c : std::string_view("!sStTxXpP")) table[static_cast<unsigned char>(c)] = true;
  return table;
}();
bool MayChangeMarkup(char c) {
  return kMayChangeMarkup[static_cast<unsigned char>(c)];
}

// The elements whose content is text to a browser, and the end tag that
// closes each. A start tag of the last three written self-closing
// (<title/>), as XHTML pages do, opens nothing.
struct TextElement {
  std::string_view name, endTag;
  bool selfClosingOpensNothing;
};
constexpr TextElement kTextElements[] = {
    {"script", "</script", false}, {"style", "</style", false}, {"textarea", "</textarea", true},
    {"title", "</title", true},    {"xmp", "</xmp", true},
};

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

ImageSize ImageSizeCache::Get(const std::string& path, ImageFormats formats) {
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
  const ImageSize size = SizeOf(ProbeImageFile(path, formats));
  std::unique_lock lock(mutex_);
  auto set = std::find_if(sizes_.begin(), sizes_.end(),
                          [formats](const Sizes& s) { return s.formats == formats; });
  if (set == sizes_.end()) set = sizes_.insert(sizes_.end(), Sizes{formats, {}});
  set->byPath.emplace(path, size);
  return size;
}

ImageSize MainProc::ProbeImage(const std::string& path) {
  // A page names the same few pictures again and again; each is read once.
  if (!sizes_) sizes_ = std::make_shared<ImageSizeCache>();
  return sizes_->Get(path, options.Formats);
}

namespace {

// The picture format an inline picture's media type names.
ImageKind KindOfMediaType(std::string_view type) {
  static constexpr struct {
    std::string_view type;
    ImageKind kind;
  } kTypes[] = {
      {"image/gif", ImageKind::Gif},     {"image/jpeg", ImageKind::Jpeg},
      {"image/png", ImageKind::Png},     {"image/webp", ImageKind::WebP},
      {"image/bmp", ImageKind::Bmp},     {"image/avif", ImageKind::Avif},
      {"image/svg+xml", ImageKind::Svg},
  };
  for (const auto& t : kTypes) {
    if (type == t.type) return t.kind;
  }
  return ImageKind::None;
}

}  // namespace

ImageSize MainProc::ResolvePicture(std::string_view src, std::string& path) {
  // Inline pictures are read from the value itself, and only those: no
  // other scheme is ever fetched.
  if (IsDataUri(src)) {
    path.clear();
    DataPicture picture;
    if (!ParseDataUri(src, picture)) {
      ImageSize none;
      none.outcome = ProbeOutcome::NoSize;
      return none;
    }
    return SizeOf(
        ProbeImageBytes(picture.bytes, KindOfMediaType(picture.mediaType), options.Formats));
  }
  const auto known = resolved_.find(std::string(src));
  if (known != resolved_.end()) {
    if (!known->second.path.empty()) path = known->second.path;
    return known->second.size;
  }

  Resolved r;
  std::string value(src);
  std::string rooted;
  if (!options.SiteUrls.empty() && MapSiteUrl(src, options.SiteUrls, rooted)) value = rooted;
  const std::string reading = BrowserReading(value, documentEncoding_);
  const std::string_view folder =
      !reading.empty() && reading[0] == '/' ? options.Parameter_ABSFolder : documentFolder_;
  const std::string candidate = std::string(folder) + reading;
  r.size.outcome = ProbeOutcome::NoFile;
  if (!reading.empty() && candidate != path) {
    r.size = ProbeImage(candidate);
    if (r.size.outcome != ProbeOutcome::NoFile) r.path = candidate;
  }
  if (!reading.empty() &&
      (r.size.outcome == ProbeOutcome::NoFile || r.size.outcome == ProbeOutcome::Folder)) {
    // As on the file systems that ignore letter case, where IMAGES/Logo.GIF
    // is images/logo.gif.
    const std::string matched = MatchIgnoringCase(folder, reading);
    if (!matched.empty() && matched != candidate && matched != path) {
      r.size = ProbeImage(matched);
      r.path = matched;
    }
  }
  if (!r.path.empty()) path = r.path;
  return resolved_.emplace(std::string(src), std::move(r)).first->second.size;
}

std::string MainProc::FormatImageTag(std::string_view tag) {
  const ImageProbe probe = [this](const std::string& path) { return ProbeImage(path); };
  const PictureResolver resolve = [this](std::string_view src, std::string& path) {
    return ResolvePicture(src, path);
  };
  RewriteContext context{&options, documentFolder_, &probe, &trace, &scratch_};
  context.resolve = &resolve;
  std::string result;
  if (!tamarind::FormatImageTag(tag, context, result)) return std::string(tag);
  ++tagCounter_;
  return result;
}

void MainProc::StartRun(std::string documentFolder) {
  tagCounter_ = 0;
  misses_.clear();
  resolved_.clear();
  documentEncoding_.clear();
  windowBase_ = 0;
  countLinesAsRead_ = false;
  linesBefore_ = 0;
  countedTo_ = 0;
  markup_ = Markup::Text;
  documentFolder_ = std::move(documentFolder);
  if (!sizesShared_) sizes_.reset();  // pictures may have changed since the last run
}

size_t MainProc::FormatWindow(std::string_view window, bool last, DocumentOutput& out) {
  // Untouched bytes are passed on in runs as long as possible; only a tag
  // that changed interrupts a run. Joining segments this way writes exactly
  // the document, except for the ">" that closes a tag left open at its end.
  const ImageProbe probe = [this](const std::string& path) { return ProbeImage(path); };
  const PictureResolver resolve = [this](std::string_view src, std::string& path) {
    return ResolvePicture(src, path);
  };
  char openQuote = 0;
  const RewriteContext context{&options,   documentFolder_, &probe,
                               &trace,     &scratch_,       collectMisses ? &miss_ : nullptr,
                               &openQuote, &resolve};
  size_t runStart = 0;
  size_t carry = window.size();
  bool openAtEnd = false;
  // An IMG tag whose text ends inside a quoted value goes on past its ">",
  // as browsers read it: it is joined with the text that follows, one ">"
  // at a time, until the value is closed. A "<" (or the end) coming first
  // leaves it as it came.
  bool joining = false;
  size_t joinBegin = 0;
  QuoteTracker quotes;

  // The tag [begin, end) of the window through the rewriter.
  const auto formatTag = [&](std::string_view text, size_t begin, size_t end) {
    const bool changed = tamarind::FormatImageTag(text, context, rewritten_);
    if (miss_.missed) RecordMiss(window, begin);
    if (!changed) return;
    ++tagCounter_;
    out.Write(window.substr(runStart, begin - runStart));
    out.Write("<");
    out.Write(rewritten_);
    out.Write(">");
    out.NoteChange(window.substr(begin, end - begin), rewritten_.size() + 2);
    runStart = end;
    openAtEnd = false;
  };

  SplitDocument(window, [&](const Segment& s) {
    // Most segments are plain text in markup: nothing to look at.
    if (!s.isTag && !joining && markup_ == Markup::Text && s.end != window.size() &&
        window[s.begin] != '<') {
      return;
    }
    // The piece that reaches the end of a window may go on in bytes not read
    // yet. A tag (or a "<" still waiting for its tag) is left for the next
    // window, with the tag it would join. Text is never rewritten, so it is
    // passed on as it is and a run of text without brackets is never held
    // whole; only its last three bytes wait, since "--" or "--!" there may
    // end a comment with the ">" that comes next. Every piece before it
    // stands, as the split decides from left to right.
    if (!last && s.end == window.size()) {
      if (joining || s.isTag || window[s.begin] == '<') {
        carry = joining ? joinBegin : s.begin;
        return;
      }
      if (window[s.end - 1] != '>') {
        carry = s.end - std::min<size_t>(3, s.end - s.begin);
        return;
      }
      // Text closed by a stray ">" is whole: it stands like any other.
    }
    const char* raw = window.data() + s.begin;
    const size_t rawSize = s.end - s.begin;
    if (joining) {
      // Only text that runs up to a ">" can go on a tag: a stray ">" ends
      // such a segment, and a "<" begins the next one.
      if (!s.isTag && raw[0] != '<' && raw[rawSize - 1] == '>') {
        quotes.Feed(">");
        quotes.Feed({raw, rawSize - 1});
        if (quotes.InsideQuote()) return;
        joining = false;
        formatTag(window.substr(joinBegin + 1, s.end - joinBegin - 2), joinBegin, s.end);
        return;
      }
      joining = false;  // the tag stays as it came; this segment is a new one
    }
    if (s.isTag) openAtEnd = !s.closed;
    // Outside comments and text elements only a segment that begins "<!"
    // or "<" and a letter of one of their names can change where the pass
    // stands; the rest skip the call.
    if (markup_ != Markup::Text || (rawSize >= 4 && raw[0] == '<' && MayChangeMarkup(raw[1]))) {
      if (!InMarkup({raw, rawSize}, s, last && s.end == window.size())) return;
    }
    if (!s.isTag || !MayBeImageTag(s.text)) return;
    formatTag(s.text, s.begin, s.end);
    if (openQuote != 0) {
      // A tag left open at the end of the document has nothing to join.
      joining = s.closed;
      joinBegin = s.begin;
      quotes = QuoteTracker(openQuote);
    }
  });
  out.Write(window.substr(runStart, carry - runStart));
  if (openAtEnd) {
    out.Write(">");
    out.NoteChange({}, 1);
  }
  return carry;
}

void MainProc::RecordMiss(std::string_view window, size_t at) {
  miss_.missed = false;
  ImageMiss m;
  m.offset = windowBase_ + at;
  m.reason = miss_.reason;
  m.extension = miss_.extension;
  m.src.assign(miss_.src);
  if (m.reason != MissReason::EmptySrc) m.path = scratch_.path;
  if (countLinesAsRead_) {
    CountLinesTo(window, at);
    m.line = linesBefore_ + 1;
  }
  misses_.push_back(std::move(m));
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

bool MainProc::InMarkup(std::string_view raw, const Segment& s, bool atEnd) {
  // Every "<" of a document begins a segment, and every ">" ends one, so
  // "<!--", "</script" and "-->" are each found whole within one segment:
  // the first two at its start, the last at its end. One state, carried from
  // segment to segment (and window to window), keeps the pass linear.
  switch (markup_) {
    case Markup::Comment:
      if (EndsComment(raw, 0)) markup_ = Markup::Text;
      return false;
    case Markup::RawText:
      if (!StartsWithIgnoringAsciiCase(raw, rawTextEnd_) ||
          !EndsTagName(raw, rawTextEnd_.size(), atEnd)) {
        return false;
      }
      markup_ = Markup::Text;
      return true;
    case Markup::PlainText:
      return false;
    case Markup::Text:
      break;
  }
  if (raw.size() < 4 || raw[0] != '<') return true;
  if (raw[1] == '!' && raw[2] == '-' && raw[3] == '-') {
    // "<!-->" and "<!--->" are whole empty comments.
    const std::string_view rest = raw.substr(4);
    if (rest != ">" && rest != "->" && !EndsComment(raw, 4)) markup_ = Markup::Comment;
    return false;
  }
  if (!s.isTag) return true;
  const bool selfClosing = !s.text.empty() && s.text.back() == '/';
  if (IsStartTagNamed(s.text, "plaintext")) {
    if (!selfClosing) markup_ = Markup::PlainText;
    return true;
  }
  for (const TextElement& e : kTextElements) {
    if (IsStartTagNamed(s.text, e.name) && !(selfClosing && e.selfClosingOpensNothing)) {
      markup_ = Markup::RawText;
      rawTextEnd_ = e.endTag;
      break;
    }
  }
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
  StartRun(DocumentFolderOf(fileName));
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
  StartRun(DocumentFolderOf(fileName));
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
