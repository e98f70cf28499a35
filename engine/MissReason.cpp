#include "MissReason.h"

#include "MainProc.h"
#include "names/PathName.h"

namespace tamarind {

namespace {

constexpr bool InEnumOrder() {
  for (size_t i = 0; i < kMissReasons.size(); ++i) {
    if (static_cast<size_t>(kMissReasons[i].reason) != i) return false;
  }
  return true;
}
static_assert(InEnumOrder(), "kMissReasons stands in the order of MissReason");

// The extension of a picture's name as a person reads it: ".tiff".
std::string ExtensionText(const std::string& path) {
  const std::string_view ext = ExtensionOf(path);
  return ext.size() > 1 ? std::string(ext) : "no extension";
}

std::string Placeholder(std::string_view name, const ImageMiss& miss) {
  if (name == "path") return miss.path;
  if (name == "detail") return std::string(miss.detail);
  if (name == "format") return std::string(FormatTitle(miss.extension));
  if (name == "style") {
    // A style attribute stands on the tag's own line.
    return miss.styleFile + ":" + std::to_string(miss.styleLine != 0 ? miss.styleLine : miss.line);
  }
  return ExtensionText(miss.path);
}

}  // namespace

const MissReasonRow& RowOf(MissReason reason) {
  return kMissReasons[static_cast<size_t>(reason)];
}

std::string MissText(const ImageMiss& miss) {
  const MissReasonRow& row = RowOf(miss.reason);
  const std::string_view pattern =
      miss.extension != ImageKind::None && !row.verboseKnownFormat.empty() ? row.verboseKnownFormat
                                                                           : row.verbose;
  std::string text;
  size_t from = 0;
  for (size_t open = pattern.find('{'); open != std::string_view::npos;
       open = pattern.find('{', from)) {
    const size_t close = pattern.find('}', open);
    text += pattern.substr(from, open - from);
    text += Placeholder(pattern.substr(open + 1, close - open - 1), miss);
    from = close + 1;
  }
  text += pattern.substr(from);
  return text;
}

}  // namespace tamarind
