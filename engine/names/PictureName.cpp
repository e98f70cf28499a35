// Finding the picture a SRC value names, as a browser finds it.
//
// House rules of this file:
//  - Nothing here is tried before the value as written: these readings only
//    serve values that name no file as they stand.
//  - A byte that does not decode stays as it is, so that a name in an
//    encoding we guessed wrong still has its chance on disk.
#include "names/PictureName.h"

#include <dirent.h>
#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "Ascii.h"

namespace tamarind {
namespace {

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsHtmlSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsHtmlSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t more;
    uint32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
      min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
      min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
      min = 0x10000;
    } else {
      return false;
    }
    if (i + more >= s.size()) return false;  // cut short
    uint32_t cp = c & (0x3F >> more);
    for (size_t k = 1; k <= more; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80) return false;
      cp = cp << 6 | (t & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += more + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// `in` converted from `encoding` to UTF-8 by iconv; a byte that does not
// decode is copied as it is and the conversion goes on after it.
std::string ToUtf8(std::string_view in, const std::string& encoding) {
  const iconv_t cd = ::iconv_open("UTF-8", encoding.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out(in.size() * 4 + 16, '\0');
  char* inPos = const_cast<char*>(in.data());
  size_t inLeft = in.size();
  size_t done = 0;
  while (inLeft > 0) {
    char* outPos = out.data() + done;
    size_t outLeft = out.size() - done;
    const size_t r = ::iconv(cd, &inPos, &inLeft, &outPos, &outLeft);
    done = static_cast<size_t>(outPos - out.data());
    if (r != static_cast<size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
      continue;
    }
    // EILSEQ or EINVAL: this byte stays as it is.
    if (done == out.size()) out.resize(out.size() * 2);
    out[done++] = *inPos++;
    --inLeft;
  }
  // A stateful encoding (ISO-2022-JP) may owe a return to its first state.
  char* outPos = out.data() + done;
  size_t outLeft = out.size() - done;
  ::iconv(cd, nullptr, nullptr, &outPos, &outLeft);
  done = static_cast<size_t>(outPos - out.data());
  ::iconv_close(cd);
  out.resize(done);
  return out;
}

}  // namespace

// The character references a browser decodes in a URL attribute.
std::string DecodeReferences(std::string_view s, std::vector<size_t>* from) {
  std::string out;
  out.reserve(s.size());
  size_t start = 0;  // where the bytes last added come from
  for (size_t i = 0; i < s.size();) {
    if (from != nullptr) from->resize(out.size(), start);
    start = i;
    if (s[i] != '&') {
      out += s[i++];
      continue;
    }
    const size_t semi = s.find(';', i + 1);
    if (semi == std::string_view::npos || semi - i > 12) {
      out += s[i++];
      continue;
    }
    const std::string_view name = s.substr(i + 1, semi - i - 1);
    static constexpr struct {
      std::string_view name;
      char c;
    } kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
    bool decoded = false;
    for (const auto& n : kNamed) {
      if (name == n.name) {
        out += n.c;
        decoded = true;
      }
    }
    if (!decoded && name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      uint32_t cp = 0;
      bool ok = !digits.empty();
      for (char c : digits) {
        const int v = hex ? AsciiHexValue(c) : (IsAsciiDigit(c) ? c - '0' : -1);
        if (v < 0) ok = false;
        if (!ok) break;
        cp = cp * (hex ? 16u : 10u) + static_cast<uint32_t>(v);
        if (cp > 0x10FFFF) cp = 0x110000;  // stays out of range, no overflow
      }
      if (ok) {
        AppendUtf8(out, cp);
        decoded = true;
      }
    }
    if (!decoded) {
      out += s[i++];
      continue;
    }
    i = semi + 1;
  }
  if (from != nullptr) {
    from->resize(out.size(), start);
    from->push_back(s.size());
  }
  return out;
}

namespace {

std::string DecodePercent(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = AsciiHexValue(s[i + 1]), lo = AsciiHexValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

bool DecodeBase64(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size() / 4 * 3 + 3);
  uint32_t bits = 0;
  int count = 0;
  size_t padding = 0;
  for (char c : s) {
    if (IsHtmlSpace(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    if (padding > 0) return false;  // data after the padding
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else {
      return false;
    }
    bits = bits << 6 | static_cast<uint32_t>(v);
    if (++count == 4) {
      out += static_cast<char>(bits >> 16);
      out += static_cast<char>(bits >> 8);
      out += static_cast<char>(bits);
      bits = 0;
      count = 0;
    }
  }
  if (padding > 2 || count == 1) return false;
  if (count == 2) out += static_cast<char>(bits >> 4);
  if (count == 3) {
    out += static_cast<char>(bits >> 10);
    out += static_cast<char>(bits >> 2);
  }
  return true;
}

// The dots a path segment stands for: 1 for "." (or "%2e"), 2 for ".." (or
// ".%2e", "%2e." and "%2e%2e"), any case of the "e"; 0 for a name.
int DotsOf(std::string_view segment) {
  int dots = 0;
  while (!segment.empty()) {
    if (segment[0] == '.') {
      segment.remove_prefix(1);
    } else if (segment.size() >= 3 && segment[0] == '%' && segment[1] == '2' &&
               AsciiLower(segment[2]) == 'e') {
      segment.remove_prefix(3);
    } else {
      return 0;
    }
    if (++dots > 2) return 0;  // "..." is a name
  }
  return dots;
}

// Splits "http://host/path", "https://host/path" or "//host/path" into its
// host and path (the path beginning with "/", or empty).
bool SplitUrl(std::string_view url, std::string_view& host, std::string_view& path) {
  size_t start;
  if (StartsWithIgnoringAsciiCase(url, "http://")) {
    start = 7;
  } else if (StartsWithIgnoringAsciiCase(url, "https://")) {
    start = 8;
  } else if (url.substr(0, 2) == "//") {
    start = 2;
  } else {
    return false;
  }
  const size_t slash = url.find('/', start);
  host = url.substr(start, slash == std::string_view::npos ? url.npos : slash - start);
  path = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  return !host.empty();
}

}  // namespace

std::string EncodingForLabel(std::string_view label) {
  label = TrimBlanks(label);
  static constexpr struct {
    std::string_view label, iconvName;
  } kLabels[] = {
      {"utf-8", "UTF-8"},
      {"utf8", "UTF-8"},
      {"unicode-1-1-utf-8", "UTF-8"},
      {"shift_jis", "CP932"},
      {"shift-jis", "CP932"},
      {"sjis", "CP932"},
      {"x-sjis", "CP932"},
      {"windows-31j", "CP932"},
      {"cp932", "CP932"},
      {"ms932", "CP932"},
      {"ms_kanji", "CP932"},
      {"csshiftjis", "CP932"},
      {"euc-jp", "EUC-JP"},
      {"x-euc-jp", "EUC-JP"},
      {"cseucpkdfmtjapanese", "EUC-JP"},
      {"iso-2022-jp", "ISO-2022-JP"},
      {"csiso2022jp", "ISO-2022-JP"},
      {"windows-1252", "WINDOWS-1252"},
      {"iso-8859-1", "WINDOWS-1252"},
      {"latin1", "WINDOWS-1252"},
      {"l1", "WINDOWS-1252"},
      {"us-ascii", "WINDOWS-1252"},
      {"ascii", "WINDOWS-1252"},
      {"cp1252", "WINDOWS-1252"},
      {"euc-kr", "CP949"},
      {"ks_c_5601-1987", "CP949"},
      {"windows-949", "CP949"},
      {"gbk", "GBK"},
      {"gb2312", "GBK"},
      {"x-gbk", "GBK"},
      {"chinese", "GBK"},
      {"gb18030", "GB18030"},
      {"big5", "BIG5-HKSCS"},
      {"big5-hkscs", "BIG5-HKSCS"},
      {"x-x-big5", "BIG5-HKSCS"},
  };
  for (const auto& l : kLabels) {
    if (EqualsIgnoringAsciiCase(label, l.label)) return std::string(l.iconvName);
  }
  return {};
}

std::string DeclaredEncoding(std::string_view head) {
  head = head.substr(0, 1024);
  if (head.substr(0, 3) == "\xEF\xBB\xBF") return "UTF-8";
  for (size_t at = 0; (at = head.find('<', at)) != std::string_view::npos; ++at) {
    if (!StartsWithIgnoringAsciiCase(head.substr(at + 1), "meta")) continue;
    const size_t end = head.find('>', at);
    const std::string_view tag =
        head.substr(at, end == std::string_view::npos ? head.npos : end - at);
    // Both forms name it after "charset": <meta charset="..."> and
    // <meta http-equiv="Content-Type" content="text/html; charset=...">.
    for (size_t c = 0; c + 7 <= tag.size(); ++c) {
      if (!EqualsIgnoringAsciiCase(tag.substr(c, 7), "charset")) continue;
      size_t i = c + 7;
      while (i < tag.size() && IsHtmlSpace(tag[i])) ++i;
      if (i >= tag.size() || tag[i] != '=') continue;
      ++i;
      while (i < tag.size() && IsHtmlSpace(tag[i])) ++i;
      if (i < tag.size() && (tag[i] == '"' || tag[i] == '\'')) ++i;
      size_t j = i;
      while (j < tag.size() && !IsHtmlSpace(tag[j]) && tag[j] != '"' && tag[j] != '\'' &&
             tag[j] != ';' && tag[j] != '/') {
        ++j;
      }
      const std::string encoding = EncodingForLabel(tag.substr(i, j - i));
      if (!encoding.empty()) return encoding;
    }
  }
  return {};
}

std::string BrowserReading(std::string_view value, std::string_view encoding) {
  std::string v;
  for (char c : TrimBlanks(value)) {
    if (c != '\t' && c != '\n' && c != '\r') v += c;
  }
  std::string name(encoding);
  if (name.empty()) name = IsValidUtf8(v) ? "UTF-8" : "CP932";
  if (name != "UTF-8") v = ToUtf8(v, name);
  v = DecodeReferences(v);
  for (char& c : v) {
    if (c == '\\') c = '/';
  }
  const size_t cut = v.find_first_of("?#");
  if (cut != std::string::npos) v.resize(cut);
  v = DecodePercent(v);
  // Removed once the escapes are decoded, so that a "%2f" turned "/" makes
  // no way out either.
  if (v.empty() || v[0] != '/') return v;
  std::string rooted;
  rooted.reserve(v.size());
  AppendWithoutDotSegments(rooted, v);
  return rooted;
}

void AppendWithoutDotSegments(std::string& out, std::string_view rooted) {
  // A dot segment begins right after a "/": most names have none.
  if (rooted.empty() || rooted[0] != '/' ||
      (rooted.find("/.") == std::string_view::npos &&
       rooted.find("/%") == std::string_view::npos)) {
    out.append(rooted);
    return;
  }
  // Each segment kept is "/" and its name; a ".." drops the last one kept,
  // and none before `base`, which is not ours.
  const size_t base = out.size();
  size_t at = 1;
  for (;;) {
    const size_t slash = rooted.find('/', at);
    const bool last = slash == std::string_view::npos;
    const std::string_view segment = rooted.substr(at, last ? rooted.npos : slash - at);
    const int dots = DotsOf(segment);
    if (dots == 2) {
      const size_t kept = out.rfind('/');
      if (kept != std::string::npos && kept >= base) out.resize(kept);
    }
    if (dots == 0) {
      out += '/';
      out.append(segment);
    } else if (last) {
      out += '/';  // "/a/.." is the folder "/"
    }
    if (last) return;
    at = slash + 1;
  }
}

bool ReadsWithNul(std::string_view value) {
  // One pass over the value settles nearly every name.
  bool nul = false, escapes = false;
  for (char c : value) {
    nul |= c == '\0';
    escapes |= c == '%' || c == '&';
  }
  if (!nul && !escapes) return false;
  if (IsDataUri(value)) return false;
  if (nul) return true;
  // The steps of BrowserReading that can make or hide a "%00".
  std::string v;
  for (char c : value) {
    if (c != '\t' && c != '\n' && c != '\r') v += c;
  }
  if (v.find('&') != std::string::npos) v = DecodeReferences(v);
  v.resize(std::min(v.find_first_of("?#"), v.size()));
  return v.find("%00") != std::string::npos;
}

std::string MatchIgnoringCase(std::string_view folder, std::string_view relative) {
  std::string path(folder);
  size_t at = 0;
  while (at <= relative.size()) {
    const size_t slash = relative.find('/', at);
    const std::string_view part =
        relative.substr(at, slash == std::string_view::npos ? relative.npos : slash - at);
    const bool last = slash == std::string_view::npos;
    at = last ? relative.size() + 1 : slash + 1;
    if (part.empty()) {
      // A leading "/" (a rooted value) or a doubled one: kept as written.
      if (!last) path += '/';
      continue;
    }
    if (part == "." || part == "..") {
      // Only a folder has them: "logo.gif/." names nothing.
      struct stat st {};
      if (::stat(path.empty() ? "." : path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return {};
      path.append(part);
      if (!last) path += '/';
      continue;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.empty() ? "." : path.c_str()),
                                                  &::closedir);
    if (!dir) return {};
    std::string match;
    int matches = 0;
    while (const dirent* e = ::readdir(dir.get())) {
      if (!EqualsIgnoringAsciiCase(e->d_name, part)) continue;
      match = e->d_name;
      if (++matches > 1) return {};  // two names that differ only by case
    }
    if (matches == 0) return {};
    path += match;
    if (!last) path += '/';
  }
  return path;
}

bool IsDataUri(std::string_view value) {
  return StartsWithIgnoringAsciiCase(TrimBlanks(value), "data:");
}

bool ParseDataUri(std::string_view value, DataPicture& out) {
  value = TrimBlanks(value);
  if (!StartsWithIgnoringAsciiCase(value, "data:")) return false;
  const size_t comma = value.find(',');
  if (comma == std::string_view::npos) return false;
  std::string_view header = value.substr(5, comma - 5);
  bool base64 = false;
  const size_t lastSemicolon = header.rfind(';');
  if (lastSemicolon != std::string_view::npos &&
      EqualsIgnoringAsciiCase(TrimBlanks(header.substr(lastSemicolon + 1)), "base64")) {
    base64 = true;
    header = header.substr(0, lastSemicolon);
  }
  const size_t firstSemicolon = header.find(';');
  const std::string_view type = TrimBlanks(header.substr(0, firstSemicolon));
  out.mediaType.clear();
  for (char c : type) out.mediaType += AsciiLower(c);
  const std::string data = DecodePercent(value.substr(comma + 1));
  if (!base64) {
    out.bytes = data;
    return true;
  }
  return DecodeBase64(data, out.bytes);
}

bool IsSiteUrl(std::string_view site) {
  std::string_view host, path;
  return site.substr(0, 2) != "//" && SplitUrl(site, host, path);
}

bool MapSiteUrl(std::string_view value, const std::vector<std::string>& sites,
                std::string& rootedPath) {
  value = TrimBlanks(value);
  std::string_view host, path;
  if (!SplitUrl(value, host, path) || path.empty()) return false;
  // The path as the browser asks for it; the query stays as written.
  const size_t query = std::min(path.find_first_of("?#"), path.size());
  std::string resolved;
  AppendWithoutDotSegments(resolved, path.substr(0, query));
  resolved.append(path.substr(query));
  for (const std::string& site : sites) {
    std::string_view siteHost, sitePath;
    if (!SplitUrl(site, siteHost, sitePath) || !EqualsIgnoringAsciiCase(host, siteHost)) continue;
    if (sitePath.empty()) sitePath = "/";
    // The site's path is a folder: "https://example.com/docs" and ".../docs/"
    // both cover "/docs/img/a.png".
    std::string folder(sitePath);
    if (folder.back() != '/') folder += '/';
    if (std::string_view(resolved).substr(0, folder.size()) != folder) continue;
    rootedPath = "/";
    rootedPath.append(std::string_view(resolved).substr(folder.size()));
    return true;
  }
  return false;
}

std::string_view AltTextOf(std::string_view value) {
  value = TrimBlanks(value);
  if (IsDataUri(value)) return {};
  size_t cut = value.find('?');
  for (size_t hash = value.find('#'); hash != std::string_view::npos && hash < cut;
       hash = value.find('#', hash + 1)) {
    if (hash == 0 || value[hash - 1] != '&') {
      cut = hash;
      break;
    }
  }
  value = value.substr(0, cut);
  const size_t slash = value.rfind('/');
  return slash == std::string_view::npos ? value : value.substr(slash + 1);
}

}  // namespace tamarind
