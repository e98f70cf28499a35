// The options of a run, as the front ends set them and the engine's units
// read them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "probe/Formats.h"

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

}  // namespace tamarind
