// PictureFinder: the picture a SRC value names, found and measured.
//
// The one place that turns a SRC value into a file: the value as written
// first (a rooted one under the web root), then, when that names no file,
// the browser's reading of it (see PictureName.h) with links to the site
// mapped under the root, an inline picture read from the value, and names
// matched ignoring letter case. What is found for a value is kept for the
// rest of the document. A page's linked stylesheets are found by the same
// reading (LinkedFile).
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

#include "Options.h"
#include "probe/Formats.h"

namespace tamarind {

// Where a document's SRC values are looked for.
struct PictureSearch {
  const ProcessingOptions* options = nullptr;  // the root, the site, the formats
  std::string_view documentFolder;             // ends in "/" or is empty
  std::string_view encoding;                   // as the document declares it, or empty
};

// The file of the site a link of the page (a stylesheet's href, an
// @import) names, as a browser reads it, relative to `where.documentFolder`:
// links to the site mapped under the root, a rooted one under the root, a
// name matched ignoring letter case when the one as read is missing (the
// path as read is returned then, for the report). Empty when there is none
// to read; `why` then tells why when it is worth a line (a remote or an
// inline address).
std::string LinkedFile(std::string_view href, const PictureSearch& where, std::string& why);

class PictureFinder {
 public:
  // Forgets what was found for the values of the last document.
  void StartDocument() { found_.clear(); }

  // The picture `src` (its quotes dropped, not empty) names, measured by
  // `probe`. `path` is left on the file looked at, for the report of a tag
  // left without a size. A value that names no file and points elsewhere on
  // the web (a scheme or "//host", not a link to the site) is Remote.
  ProbeResult Find(std::string_view src, const PictureSearch& where, const ImageProbe& probe,
                   std::string& path);

 private:
  // The value as a browser reads it, once the value as written named no file.
  ProbeResult AsBrowserReads(std::string_view src, const PictureSearch& where,
                             const ImageProbe& probe, std::string& path);

  struct Found {
    ProbeResult size;
    std::string path;
  };
  std::unordered_map<std::string, Found> found_;
};

}  // namespace tamarind
