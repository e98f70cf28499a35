// Fuzz target: reading a SRC value as a browser does (character references,
// percent escapes, charsets, data: pictures, --site links, letter case). The
// first byte picks the encoding and what is checked; the rest is cut into a
// value and a second text (a document head, a site, a name).
#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Ascii.h"
#include "FuzzCheck.h"
#include "MainProc.h"
#include "names/PictureName.h"
#include "probe/Formats.h"

namespace {

using tamarind::EqualsIgnoringAsciiCase;

constexpr std::string_view kEncodings[] = {
    "", "UTF-8", "CP932", "EUC-JP", "ISO-2022-JP", "WINDOWS-1252", "GBK", "GB18030", "BIG5-HKSCS"};

std::string Percent(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += {'%', kHex[b >> 4], kHex[b & 15]};
  }
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t bits = 0;
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    for (size_t k = 0; k < 3; ++k) {
      bits = bits << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) out += k <= n ? kDigits[bits >> (18 - 6 * k) & 63] : '=';
  }
  return out;
}

bool IsPlainNameByte(char c) {
  return c > ' ' && c < 0x7F && std::string_view("%&\\?#").find(c) == std::string_view::npos;
}

// The reading of a value: bounded, and plain names read as themselves (a
// rooted one without its dot segments, as a browser resolves it).
void CheckReading(std::string_view value, std::string_view encoding) {
  const std::string reading = tamarind::BrowserReading(value, encoding);
  // No byte becomes more than a UTF-8 character of three bytes, and no
  // reference is shorter than what it stands for.
  Check(reading.size() <= 3 * value.size());
  bool plain = true;
  for (char c : value) plain = plain && IsPlainNameByte(c);
  std::string resolved;
  tamarind::AppendWithoutDotSegments(resolved, value);
  if (plain) Check(reading == resolved);
  // Without escapes or references, what the reading takes out stays out.
  if (value.find_first_of("%&") == std::string_view::npos) {
    Check(reading.find_first_of("\t\n\r\\?#") == std::string::npos);
  }
  // Any bytes but NUL, every one escaped, come back exactly; a rooted name
  // without its dot segments, as the decoded "/" may have made some.
  std::string bytes(value);
  std::erase(bytes, '\0');
  std::string expected;
  tamarind::AppendWithoutDotSegments(expected, bytes);
  Check(tamarind::BrowserReading(Percent(bytes), encoding) == expected);
}

void CheckDataUri(std::string_view value) {
  tamarind::DataPicture picture;
  const bool parsed = tamarind::ParseDataUri(value, picture);
  Check(!parsed || tamarind::IsDataUri(value));
  if (parsed) {
    Check(picture.bytes.size() <= value.size());
    for (char c : picture.mediaType) Check(!(c >= 'A' && c <= 'Z') && c != ';' && c != ',');
    Check(tamarind::AltTextOf(value).empty());
  }
  // Any bytes come back from both forms of a data: URI.
  Check(tamarind::ParseDataUri("DATA:image/png;Base64," + Base64(value), picture) &&
        picture.mediaType == "image/png" && picture.bytes == value);
  Check(tamarind::ParseDataUri("data:," + Percent(value), picture) && picture.bytes == value);
}

void CheckSite(std::string_view value, std::string_view host) {
  std::string rooted;
  const std::vector<std::string> sites = {"https://" + std::string(host) + "/"};
  if (tamarind::MapSiteUrl(value, sites, rooted)) {
    // The path under the site's folder, as the value ends.
    Check(!rooted.empty() && rooted[0] == '/' && rooted.size() <= value.size());
    Check(value.find(std::string_view(rooted).substr(1)) != std::string_view::npos);
  }
  // A link into the site, in any letter case of scheme and host, maps to its
  // path.
  if (host.empty() || host.find_first_of("/ \t\n\f\r") != std::string_view::npos) return;
  std::string path(value);
  while (!path.empty() && static_cast<unsigned char>(path.back()) <= ' ') path.pop_back();
  std::string upper = "HTTPS://" + std::string(host);
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  // A browser resolves "." and ".." segments away ("https://h/.?q" asks for
  // "/?q"), and so does the mapping; the plain path claim is for paths
  // without them.
  const std::string segments = "/" + path.substr(0, path.find_first_of("?#"));
  if (segments.find("/.") != std::string::npos || segments.find("/%2") != std::string::npos) {
    return;
  }
  Check(tamarind::MapSiteUrl(upper + "/" + path, sites, rooted) && rooted == "/" + path);
}

// Letter-case matching over the pictures beside this target: what it finds
// is the name asked for up to ASCII case, and exists.
void CheckCaseMatch(std::string_view relative) {
  const std::string folder = TAMARIND_FUZZ_PICTURES;
  const std::string match = tamarind::MatchIgnoringCase(folder, relative);
  if (match.empty()) return;
  Check(match.size() == folder.size() + relative.size() && match.starts_with(folder));
  Check(EqualsIgnoringAsciiCase(std::string_view(match).substr(folder.size()), relative));
  std::string name = match;
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  struct stat st {};
  Check(::lstat(name.c_str(), &st) == 0);
}

// The engine's own resolution: a size it finds is the size of the file it
// names, and asking again gives the same.
void CheckResolution(std::string_view value) {
  if (value.empty()) return;  // SRC="" is no picture to look for
  tamarind::MainProc engine;
  engine.options.Formats = tamarind::ImageFormats::All();
  engine.options.Parameter_ABSFolder = TAMARIND_FUZZ_PICTURES;
  engine.options.SiteUrls = {"https://example.com/"};
  engine.SetDocumentFolder(std::string(TAMARIND_FUZZ_PICTURES) + "img/");
  std::string path, again;
  const tamarind::ProbeResult size = engine.FindPicture(value, path);
  const tamarind::ProbeResult second = engine.FindPicture(value, again);
  Check(second.Found() == size.Found() && second.width == size.width && again == path);
  if (!size.Found() || tamarind::IsDataUri(value)) return;
  const tamarind::ProbeResult probe = tamarind::ProbeImageFile(path, engine.options.Formats);
  Check(probe.Found() && probe.width == uint32_t(size.width) &&
        probe.height == uint32_t(size.height));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view encoding = kEncodings[data[0] % std::size(kEncodings)];
  const size_t cut = std::min<size_t>(data[1], size - 2);
  const std::string_view value(reinterpret_cast<const char*>(data) + 2, cut);
  const std::string_view other(reinterpret_cast<const char*>(data) + 2 + cut, size - 2 - cut);

  CheckReading(value, encoding);
  CheckDataUri(value);
  CheckSite(value, other);
  CheckCaseMatch(value);
  CheckResolution(value);

  // Only the first kilobyte of a document names its encoding, in an
  // encoding iconv can read; a label counts in any letter case and with
  // blanks around it.
  const std::string declared = tamarind::DeclaredEncoding(other);
  Check(declared == tamarind::DeclaredEncoding(other.substr(0, 1024)));
  if (!declared.empty()) {
    const iconv_t cd = ::iconv_open("UTF-8", declared.c_str());
    Check(cd != reinterpret_cast<iconv_t>(-1));
    ::iconv_close(cd);
  }
  std::string label(value);
  for (char& c : label) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  Check(tamarind::EncodingForLabel(" " + label + "\t") == tamarind::EncodingForLabel(value));
  // The alt text is a piece of the value: its last component, no query.
  const std::string_view alt = tamarind::AltTextOf(value);
  Check(alt.empty() ||
        (alt.data() >= value.data() && alt.data() + alt.size() <= value.data() + value.size()));
  Check(alt.find_first_of("/?") == std::string_view::npos);
  return 0;
}
