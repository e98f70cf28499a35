// Fuzz target: the engine's run over a whole document, read from a handle
// as the command line reads standard input (comments, text elements, tags
// joined over a quoted ">", reading windows). The first byte picks the
// options, the second how many bytes each read delivers; the rest is the
// document, which SRC values may point into the pictures beside this target.
//
// Promises checked: the windows change nothing (the run over the document
// read in small pieces writes what the run over it held whole writes); the
// changes the run reports turn the new contents back into the document; the
// count is the number of tags changed; each miss names the "<" of its tag
// and its line; and a run over its own output changes nothing.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "MainProc.h"
#include "files/FileOps.h"

namespace {

size_t gReadSize = 1;

ssize_t ShortRead(int fd, void* buffer, size_t size) {
  return ::read(fd, buffer, std::min(size, gReadSize));
}

// The new contents, and the document rebuilt from them and the changes.
class Recorder : public tamarind::DocumentOutput {
 public:
  void Write(std::string_view bytes) override { written.append(bytes); }
  void NoteChange(std::string_view oldBytes, size_t newLength) override {
    Check(newLength <= written.size() - kept);
    const std::string_view added = std::string_view(written).substr(written.size() - newLength);
    if (oldBytes.empty()) {
      Check(added == ">");  // the ">" closing a tag cut off by the end
    } else {
      // A tag for a tag (which may have been cut off by the end).
      Check(oldBytes.front() == '<' && added.size() >= 2 && added.front() == '<' &&
            added.back() == '>');
      ++tagsChanged;
    }
    old.append(written, kept, written.size() - newLength - kept);
    old.append(oldBytes);
    kept = written.size();
  }
  std::string Old() const { return old + written.substr(kept); }

  std::string written;
  int tagsChanged = 0;

 private:
  std::string old;
  size_t kept = 0;
};

void Configure(tamarind::MainProc& engine, unsigned flags) {
  engine.options.AddALTAttribute = (flags & 1) != 0;
  engine.options.Parameter_OverWrite = (flags & 2) != 0;
  engine.options.Parameter_QuoteWrite = (flags & 4) != 0;
  engine.options.Formats =
      (flags & 8) != 0 ? tamarind::ImageFormats::All() : tamarind::ImageFormats::Classic();
  engine.options.Parameter_ABSFolder = TAMARIND_FUZZ_PICTURES;
  engine.options.SiteUrls = {"https://example.com/"};
  engine.collectMisses = true;
}

// The run over `document` read from a handle, `readSize` bytes a read.
// False when the run refused the document as no HTML.
bool RunStream(tamarind::MainProc& engine, std::string_view document, size_t readSize,
               Recorder& out) {
  const int fd = ::memfd_create("document", MFD_CLOEXEC);
  Check(fd >= 0);
  Check(::write(fd, document.data(), document.size()) == ssize_t(document.size()));
  Check(::lseek(fd, 0, SEEK_SET) == 0);
  tamarind::FileOps& ops = tamarind::Ops();
  const auto systemRead = ops.read;
  gReadSize = readSize;
  ops.read = ShortRead;
  bool html = true;
  int changed = 0;
  try {
    changed = engine.ProcessStream(fd, out, TAMARIND_FUZZ_PICTURES);
  } catch (const tamarind::EInOutError& e) {
    Check(e.Code() == tamarind::kNotAnHtmlDocument);
    html = false;
  }
  ops.read = systemRead;
  ::close(fd);
  Check(!html || changed == out.tagsChanged);
  return html;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const unsigned flags = data[0];
  std::string document(reinterpret_cast<const char*>(data) + 2, size - 2);
  // Past the head that is sniffed before anything is written (where reading
  // in pieces begins to matter): the document's second half after 64 KiB of
  // text.
  if ((flags & 16) != 0) document.insert(document.size() / 2, 65536 + data[1], 'x');

  tamarind::MainProc engine;
  Configure(engine, flags);
  Recorder pieces;
  if (!RunStream(engine, document, 1 + data[1] % 64, pieces)) return 0;
  const std::vector<tamarind::ImageMiss> misses = engine.Misses();
  Check(pieces.Old() == document);
  const std::string whole = engine.ProcessText(document, TAMARIND_FUZZ_PICTURES);
  Check(pieces.written == whole);

  uint64_t line = 1, at = 0;
  for (const tamarind::ImageMiss& m : misses) {
    Check(m.offset >= at && m.offset < document.size() && document[m.offset] == '<');
    line += static_cast<uint64_t>(std::count(document.begin() + static_cast<ptrdiff_t>(at),
                                             document.begin() + static_cast<ptrdiff_t>(m.offset),
                                             '\n'));
    Check(m.line == line);
    at = m.offset;
  }

  // Every option set settles in one run: the run over its own output
  // changes no byte and counts no tag.
  Recorder again;
  if (RunStream(engine, whole, 4096, again)) {
    Check(again.written == whole && again.tagsChanged == 0);
  }
  return 0;
}
