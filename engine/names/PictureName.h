// Finding the picture a SRC value names, as a browser finds it.
//
// A page writes URLs, not file names: "my%20photo.jpg", "logo.png?v=3",
// "&amp;" for "&", "img\logo.gif" from Windows editors, Japanese names in a
// Shift_JIS page, inline "data:" pictures, links to the site itself. The
// value as written is always tried first (so no page that works changes);
// what is here only serves when that names no file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tamarind {

// The encoding a document declares, as the name iconv knows it ("CP932",
// "EUC-JP", "UTF-8"), from a byte order mark or a <meta> charset within its
// first 1,024 bytes; empty when it declares none.
std::string DeclaredEncoding(std::string_view head);

// The encoding name iconv knows for a label as browsers accept it
// ("Shift_JIS", "x-sjis", "windows-31j" all give "CP932"); empty for a label
// no browser knows.
std::string EncodingForLabel(std::string_view label);

// A SRC value as a browser reads it, as a path in UTF-8: blanks trimmed
// (and TAB, LF, CR inside removed), decoded from `encoding` (when empty:
// UTF-8 if the bytes are valid UTF-8, else Shift_JIS), character references
// decoded, "\" read as "/", the query and fragment cut off, and %HH escapes
// decoded. Bytes that do not decode stay as they are. A path that then
// begins with "/" has its dot segments removed (see below), so it stays
// under the web root; a relative one keeps them.
std::string BrowserReading(std::string_view value, std::string_view encoding);

// The character references a browser decodes in an attribute value
// ("&amp;", "&#44;", "&#x2C;" and the like); others stay as they are.
// `from`, when given, gets for each byte of the result the place in `s`
// of the byte or reference it comes from, and s.size() for the end.
std::string DecodeReferences(std::string_view s, std::vector<size_t>* from = nullptr);

// Appends `rooted` (a path that begins with "/") to `out` with its dot
// segments removed, as a browser resolves a URL's path before it asks the
// server: a "." segment goes, a ".." one takes the segment before it along,
// and nothing climbs above the first "/". "%2e" (any case) counts as a dot,
// as browsers count it. So "/../x.gif", "/%2e%2e/x.gif" and "/a/./../x.gif"
// are all "/x.gif".
void AppendWithoutDotSegments(std::string& out, std::string_view rooted);

// Whether a browser's reading of the value holds a NUL byte: a NUL as
// written, or a "%00" in its path once character references are decoded
// (TAB, LF and CR removed). Such a value names no file, since a NUL would
// cut the name short ("a.jpg%00.gif" is not "a.jpg"). False for a data: URI,
// whose bytes may hold anything.
bool ReadsWithNul(std::string_view value);

// The file `relative` names under `folder` (which ends in "/" or is empty),
// each component matched ignoring the case of ASCII letters, as a file
// system that ignores letter case (Windows, macOS) finds it, so that a site
// made on one keeps its pictures here. Empty when a component matches no
// entry or more than one.
std::string MatchIgnoringCase(std::string_view folder, std::string_view relative);

// An inline picture: "data:[MEDIATYPE][;base64],DATA".
struct DataPicture {
  std::string mediaType;  // lower case, parameters dropped: "image/png"
  std::string bytes;      // decoded
};
// False when `value` is no data: URI or its data does not decode.
bool ParseDataUri(std::string_view value, DataPicture& out);
bool IsDataUri(std::string_view value);

// Maps an absolute link to the site itself ("https://example.com/img/a.png",
// or "//example.com/img/a.png") to the path under the site's root that it
// names ("/img/a.png"), for each of `sites` (such as "https://example.com/").
// The link's dot segments are removed first, as a browser removes them, so
// "https://example.com/docs/../a.png" is no link into a site
// "https://example.com/docs/". False when no site's prefix matches.
bool MapSiteUrl(std::string_view value, const std::vector<std::string>& sites,
                std::string& rootedPath);

// Whether `site` is a URL --site accepts: http or https, a host, and a path.
bool IsSiteUrl(std::string_view site);

// The file name an added alt text shows: the last "/"-separated component of
// the value, blanks trimmed, everything from the first "?" (or the first
// "#" that does not follow "&") cut off; nothing for a data: URI. It stays
// in the document's own bytes.
std::string_view AltTextOf(std::string_view value);

}  // namespace tamarind
