#include "names/PictureFinder.h"

#include <sys/stat.h>

#include "Ascii.h"
#include "names/PictureName.h"

namespace tamarind {

namespace {

// Longer than any path a file system takes (PATH_MAX).
constexpr size_t kLongestName = 4096;

// A URL as browsers take it: blanks around it (space, tab, line breaks,
// form feed) dropped.
std::string_view TrimHtmlBlanks(std::string_view s) {
  while (!s.empty() && IsHtmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsHtmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

// A value with a scheme ("http:", "https:", "ftp:") or a protocol-relative
// "//host/..." names a picture elsewhere, not a file of the site. A scheme
// has at least two letters, so nothing here is taken for a drive letter.
bool IsRemote(std::string_view value) {
  if (value.substr(0, 2) == "//") return true;
  size_t i = 0;
  while (i < value.size() && (IsAsciiLetter(value[i]) || IsAsciiDigit(value[i]) ||
                              value[i] == '+' || value[i] == '-' || value[i] == '.')) {
    ++i;
  }
  return i >= 2 && i < value.size() && value[i] == ':' && IsAsciiLetter(value[0]);
}

// The value as written: a rooted one under the root, its dot segments
// removed, a relative one under the document's folder. Sets `unreadable`
// for a value that names no file whatever a browser makes of it.
ProbeResult AsWritten(std::string_view src, const PictureSearch& where, const ImageProbe& probe,
                      std::string& path, bool& unreadable) {
  const bool rooted = src[0] == '/';
  path.assign(rooted ? std::string_view(where.options->Parameter_ABSFolder) : where.documentFolder);
  ProbeResult size;
  if (src.size() > kLongestName) {
    // A value no file system can hold (a long inline picture) is not tried
    // as a name.
    path.clear();
  } else if (ReadsWithNul(src)) {
    // A NUL would cut the name short: "a.jpg%00.gif" is not a.jpg.
    path += src;
    unreadable = true;
  } else {
    // A rooted value stays under the root, as the browser's request does:
    // "/../x.gif" is "/x.gif". A relative one may climb, as on a disk.
    if (rooted) {
      AppendWithoutDotSegments(path, src);
    } else {
      path += src;
    }
    size = probe(path);
  }
  return size;
}

}  // namespace

std::string LinkedFile(std::string_view href, const PictureSearch& where, std::string& why) {
  const ProcessingOptions& options = *where.options;
  href = TrimHtmlBlanks(href);
  if (href.empty()) return {};
  std::string value(href);
  std::string rooted;
  if (!options.SiteUrls.empty() && MapSiteUrl(href, options.SiteUrls, rooted)) {
    value = rooted;
  } else if (IsDataUri(href)) {
    why = "inline stylesheet (data:)";
    return {};
  } else if (IsRemote(href)) {
    why = "remote stylesheet " + std::string(href);
    return {};
  }
  // The browser's reading of a rooted link has no dot segments left.
  const std::string reading = BrowserReading(value, where.encoding);
  if (reading.empty()) return {};
  const std::string_view folder =
      reading[0] == '/' ? std::string_view(options.Parameter_ABSFolder) : where.documentFolder;
  std::string path = std::string(folder) + reading;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return path;
  const std::string matched = MatchIgnoringCase(folder, reading);
  return matched.empty() ? path : matched;
}

ProbeResult PictureFinder::Find(std::string_view src, const PictureSearch& where,
                                const ImageProbe& probe, std::string& path) {
  bool unreadable = false;
  ProbeResult size = AsWritten(src, where, probe, path, unreadable);
  if (!unreadable && (size.reason == MissReason::NoPicture || size.reason == MissReason::Folder)) {
    const ProbeResult found = AsBrowserReads(src, where, probe, path);
    if (found.Found() || found.reason != MissReason::NoPicture) size = found;
  }
  // A link to the site itself names a file under the root, however remote
  // it looks.
  std::string rooted;
  if (size.reason == MissReason::NoPicture && IsRemote(TrimHtmlBlanks(src)) &&
      !MapSiteUrl(src, where.options->SiteUrls, rooted)) {
    size.reason = MissReason::Remote;
  }
  return size;
}

ProbeResult PictureFinder::AsBrowserReads(std::string_view src, const PictureSearch& where,
                                          const ImageProbe& probe, std::string& path) {
  const ProcessingOptions& options = *where.options;
  // Inline pictures are read from the value itself, and only those: no
  // other scheme is ever fetched.
  if (IsDataUri(src)) {
    path.clear();
    DataPicture picture;
    if (!ParseDataUri(src, picture)) {
      ProbeResult none;
      none.reason = MissReason::NoSize;
      return none;
    }
    return ProbeImageBytes(picture.bytes, KindOfMediaType(picture.mediaType), options.Formats);
  }
  const auto known = found_.find(std::string(src));
  if (known != found_.end()) {
    if (!known->second.path.empty()) path = known->second.path;
    return known->second.size;
  }

  Found r;
  std::string value(src);
  std::string rooted;
  const bool onSite = !options.SiteUrls.empty() && MapSiteUrl(src, options.SiteUrls, rooted);
  if (onSite) value = rooted;
  const std::string reading = BrowserReading(value, where.encoding);
  const std::string_view folder =
      !reading.empty() && reading[0] == '/' ? options.Parameter_ABSFolder : where.documentFolder;
  const std::string candidate = std::string(folder) + reading;
  r.size.reason = MissReason::NoPicture;
  if (!reading.empty() && candidate != path) {
    r.size = probe(candidate);
    // A link to the site names this file even when there is none.
    if (r.size.reason != MissReason::NoPicture || onSite) r.path = candidate;
  }
  if (!reading.empty() &&
      (r.size.reason == MissReason::NoPicture || r.size.reason == MissReason::Folder)) {
    // As on the file systems that ignore letter case, where IMAGES/Logo.GIF
    // is images/logo.gif.
    const std::string matched = MatchIgnoringCase(folder, reading);
    if (!matched.empty() && matched != candidate && matched != path) {
      r.size = probe(matched);
      r.path = matched;
    }
  }
  if (!r.path.empty()) path = r.path;
  return found_.emplace(std::string(src), std::move(r)).first->second.size;
}

}  // namespace tamarind
