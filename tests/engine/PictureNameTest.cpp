// Pictures found where a browser finds them: the reading of a SRC value, the
// document's encoding, letter case, inline pictures and links to the site.
#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

#include "MainProc.h"
#include "names/PictureName.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

using test::GifBytes;

// `utf8` in another encoding, for pages written in it.
std::string Encode(const std::string& utf8, const char* encoding) {
  const iconv_t cd = iconv_open(encoding, "UTF-8");
  std::string out(utf8.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size();
  char* o = out.data();
  size_t outLeft = out.size();
  const size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv(cd, nullptr, nullptr, &o, &outLeft);
  iconv_close(cd);
  EXPECT_NE(r, static_cast<size_t>(-1)) << utf8;
  out.resize(out.size() - outLeft);
  return out;
}

std::string Base64(std::string_view bytes) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
    if (i + 1 < bytes.size()) n |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
    if (i + 2 < bytes.size()) n |= uint32_t{static_cast<uint8_t>(bytes[i + 2])};
    out += kDigits[n >> 18 & 63];
    out += kDigits[n >> 12 & 63];
    out += i + 1 < bytes.size() ? kDigits[n >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[n & 63] : '=';
  }
  return out;
}

TEST(PictureName, BrowserReadingOfValues) {
  const struct {
    std::string value, encoding, want;
  } rows[] = {
      {"my%20photo.jpg", "UTF-8", "my photo.jpg"},
      {"logo.png?v=3", "UTF-8", "logo.png"},
      {"photo.jpg#main", "UTF-8", "photo.jpg"},
      {"a&amp;b.gif", "UTF-8", "a&b.gif"},
      {"&lt;&gt;&quot;&apos;&#38;&#x26;&#X41;.gif", "UTF-8", "<>\"'&&A.gif"},
      {"&amp.gif &unknown; &#1114112;&#0;.gif", "UTF-8",
       "&amp.gif &unknown; \xEF\xBF\xBD\xEF\xBF\xBD.gif"},
      {"&#xZZ;.gif", "UTF-8", "&"},  // no reference: its "#" begins a fragment
      {"img\\logo.gif", "UTF-8", "img/logo.gif"},
      {" \t\n\f\rlogo.gif\r\n ", "UTF-8", "logo.gif"},
      {"lo\tg\no\r.gif", "UTF-8", "logo.gif"},
      {"a%2fb%zz%4.gif%", "UTF-8", "a/b%zz%4.gif%"},
      {"%E7%94%BB.gif", "UTF-8", "\xE7\x94\xBB.gif"},
      // A reference decoded into "?" or "%" is read as what it became.
      {"a&#63;b.gif", "UTF-8", "a"},
      {"a&#37;41.gif", "UTF-8", "aA.gif"},
      // Japanese names, from the document's encoding into UTF-8.
      {Encode("画像\\ロゴ.gif", "CP932"), "CP932", "画像/ロゴ.gif"},
      {Encode("画像/ロゴ.gif", "EUC-JP"), "EUC-JP", "画像/ロゴ.gif"},
      {Encode("画像/ロゴ.gif", "ISO-2022-JP"), "ISO-2022-JP", "画像/ロゴ.gif"},
      // Undeclared: UTF-8 when the bytes are UTF-8, else Shift_JIS.
      {"画像.gif", "", "画像.gif"},
      {Encode("表.gif", "CP932"), "", "表.gif"},
      // A byte that does not decode stays as it is.
      {"\x82\xA0\xFF.gif", "CP932", "\xE3\x81\x82\xFF.gif"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(BrowserReading(row.value, row.encoding), row.want) << row.value;
  }
}

TEST(PictureName, DeclaredEncodings) {
  const struct {
    std::string head, want;
  } rows[] = {
      {"\xEF\xBB\xBF<meta charset=shift_jis>", "UTF-8"},
      {"<html><head><meta charset=\"Shift_JIS\">", "CP932"},
      {"<META CHARSET='x-sjis'>", "CP932"},
      {"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">", "EUC-JP"},
      {"<meta http-equiv=Content-Type content='text/html;charset=windows-31j'>", "CP932"},
      {"<meta charset=iso-2022-jp>", "ISO-2022-JP"},
      {"<meta charset=ISO-8859-1>", "WINDOWS-1252"},
      {"<meta charset=gb2312>", "GBK"},
      {"<meta charset=big5>", "BIG5-HKSCS"},
      {"<meta charset=euc-kr>", "CP949"},
      {"<meta charset=utf-8>", "UTF-8"},
      {"<meta name=x content=y><meta charset=cp932>", "CP932"},
      {"<meta charset=klingon>", ""},
      {"<p>no meta here</p>", ""},
      {std::string(1030, ' ') + "<meta charset=cp932>", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(DeclaredEncoding(row.head), row.want) << row.head;
}

TEST(PictureName, AltTextIsTheFileNameAsWritten) {
  const struct {
    std::string value, want;
  } rows[] = {
      {"photo.jpg?v=2", "photo.jpg"},     {" img/logo.gif ", "logo.gif"},
      {"img/a.gif#top", "a.gif"},         {"a&#38;b.gif", "a&#38;b.gif"},
      {"dir/x.gif?a/b", "x.gif"},         {"img\\logo.gif", "img\\logo.gif"},
      {"data:image/gif;base64,R0lG", ""}, {"", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(AltTextOf(row.value), row.want) << row.value;
}

// Each picture has a size of its own, so the size a tag gets tells which
// file was found.
class FoundWhereBrowsersFind : public ::testing::Test {
 protected:
  FoundWhereBrowsersFind() {
    dir.Write("site/my photo.gif", GifBytes(1, 1));
    dir.Write("site/logo.gif", GifBytes(2, 2));
    dir.Write("site/a&b.gif", GifBytes(3, 3));
    dir.Write("site/img/logo.gif", GifBytes(4, 4));
    dir.Write("site/images/logo.gif", GifBytes(5, 5));
    dir.Write("site/a%20b.gif", GifBytes(6, 6));
    dir.Write("site/a b.gif", GifBytes(7, 7));
    dir.Write("site/Dup.gif", GifBytes(8, 8));
    dir.Write("site/dup.gif", GifBytes(9, 9));
    dir.Write("site/画像/ロゴ 1.gif", GifBytes(10, 10));
    dir.Write("site/top/c.gif", GifBytes(11, 11));
    dir.Write("site/page.gif/x.gif", GifBytes(12, 12));
  }

  // The sizes the document's IMG tags got, in order ("-" for none).
  std::vector<std::string> Sizes(const std::string& doc, ImageFormats formats = {},
                                 std::vector<std::string> sites = {}) {
    MainProc engine;
    if (formats != ImageFormats()) engine.options.Formats = formats;
    engine.options.Parameter_ABSFolder = dir / "site";
    engine.options.SiteUrls = std::move(sites);
    const std::string out = engine.ProcessText(doc, dir / "site/");
    std::vector<std::string> sizes;
    for (size_t at = 0; (at = out.find("<img", at)) != std::string::npos; ++at) {
      const size_t end = out.find('>', at);
      const std::string tag = out.substr(at, end - at);
      // The additions stand after the quoted value.
      const size_t w = tag.find(" width=", tag.rfind('"'));
      sizes.push_back(w == std::string::npos ? "-"
                                             : tag.substr(w + 7, tag.find(' ', w + 1) - w - 7));
    }
    return sizes;
  }
  std::string SizeOf(const std::string& value, ImageFormats formats = {},
                     std::vector<std::string> sites = {}) {
    const std::vector<std::string> sizes =
        Sizes("<img src=\"" + value + "\">", formats, std::move(sites));
    return sizes.size() == 1 ? sizes[0] : "?";
  }

  test::TempDir dir;
};

TEST_F(FoundWhereBrowsersFind, EachRuleAloneAndCombined) {
  const struct {
    std::string value, want;
  } rows[] = {
      {"my%20photo.gif", "1"},
      {"logo.gif?v=3", "2"},
      {"logo.gif#main", "2"},
      {"a&amp;b.gif", "3"},
      {"img\\logo.gif", "4"},
      {"  logo.gif\n", "2"},
      {"IMAGES/Logo.GIF", "5"},
      {"./Images/../IMG/LOGO.gif", "4"},
      {"/TOP/C.GIF", "11"},
      {"/top/c.gif?x", "11"},
      // The name as written wins over its decoded twin.
      {"a%20b.gif", "6"},
      {"a b.gif", "7"},
      // Two names that differ only by case: neither.
      {"DUP.gif", "-"},
      {"Dup.gif", "8"},
      // A folder as written: the browser's reading of it is still tried.
      {"page.gif%2Fx.gif", "12"},
      {"nothing.gif", "-"},
      {"%", "-"},
      {"?", "-"},
      {"IMG\\Logo%2EGIF?x#y", "4"},
      {"画像\\ロゴ%201.GIF?x", "10"},
  };
  for (const auto& row : rows) EXPECT_EQ(SizeOf(row.value), row.want) << row.value;
}

TEST_F(FoundWhereBrowsersFind, DocumentsInJapaneseEncodings) {
  const std::string img = "<img src=\"画像\\ロゴ%201.GIF?x\"><img src=\"my%20photo.gif\">";
  const struct {
    const char* name;
    std::string doc;
  } rows[] = {
      {"Shift_JIS by meta", Encode("<meta charset=Shift_JIS>" + img, "CP932")},
      {"Shift_JIS undeclared", Encode(img, "CP932")},
      {"EUC-JP by http-equiv",
       Encode("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=euc-jp\">" + img,
              "EUC-JP")},
      {"UTF-8 undeclared", img},
      {"UTF-8 with a byte order mark", "\xEF\xBB\xBF" + img},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Sizes(row.doc), (std::vector<std::string>{"10", "1"})) << row.name;
  }
}

TEST_F(FoundWhereBrowsersFind, InlinePictures) {
  const std::string gif = Base64(GifBytes(13, 14));
  std::string png = "\x89PNG\r\n\x1A\n";
  png += std::string("\0\0\0\x0DIHDR\0\0\0\x0F\0\0\0\x10", 16) + std::string(5, '\0');
  const struct {
    std::string value, want, wantClassic;
  } rows[] = {
      {"data:image/gif;base64," + gif, "13", "13"},
      {"DATA:Image/GIF;charset=x;BASE64," + gif.substr(0, 8) + " \n " + gif.substr(8), "13", "13"},
      {"data:image/png;base64," + Base64(png), "15", "-"},
      {"data:image/svg+xml,%3Csvg%20width='3'%20height='4'%3E%3C/svg%3E", "3", "-"},
      {"data:image/svg+xml;utf8,%3Csvg width='5' height='6'/%3E", "5", "-"},
      {"data:image/gif;base64," + gif.substr(0, 6), "-", "-"},  // cut short
      {"data:image/gif;base64,R0l*GOD", "-", "-"},              // not base64
      {"data:image/gif;base64", "-", "-"},                      // no data at all
      {"data:text/plain;base64," + gif, "-", "-"},              // not a picture type
      {"data:image/gif;base64," + Base64(GifBytes(13, 14) + std::string(1 << 20, 'x')), "13",
       "13"},  // huge
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SizeOf(row.value, ImageFormats::All()), row.want) << row.value.substr(0, 60);
    EXPECT_EQ(SizeOf(row.value, ImageFormats::Classic()), row.wantClassic)
        << row.value.substr(0, 60);
  }
}

TEST_F(FoundWhereBrowsersFind, LinksToTheSiteItself) {
  const std::vector<std::string> sites = {"https://Example.COM/", "http://docs.example.com/v2"};
  const struct {
    std::string value, want;
  } rows[] = {
      {"https://example.com/top/c.gif", "11"},
      {"http://EXAMPLE.com/top/c.gif", "11"},
      {"HTTPS://example.com/Top/C.gif?x=1", "11"},
      {"//example.com/top/c.gif", "11"},
      {"https://docs.example.com/v2/top/c.gif", "11"},
      {"https://docs.example.com/v3/top/c.gif", "-"},
      {"https://docs.example.com/v2", "-"},
      {"https://other.example.com/top/c.gif", "-"},
      {"https://example.com.evil/top/c.gif", "-"},
      {"ftp://example.com/top/c.gif", "-"},
  };
  for (const auto& row : rows) EXPECT_EQ(SizeOf(row.value, {}, sites), row.want) << row.value;
  EXPECT_EQ(SizeOf("https://example.com/top/c.gif"), "-");  // no site named: remote
}

// A rooted or site-mapped value stays under the root however it is written,
// and a NUL however it is written names no file; a relative value may climb
// out of the page's folder, as on a disk.
TEST_F(FoundWhereBrowsersFind, RootedNamesStayUnderTheRoot) {
  dir.Write("x.gif", GifBytes(20, 20));  // beside the root, not in it
  dir.Write("site/x.gif", GifBytes(21, 21));
  const std::vector<std::string> sites = {"https://example.com/", "https://docs.example.com/v2/"};
  const struct {
    std::string value, want;
  } rows[] = {
      {"/../x.gif", "21"},
      {"/%2e%2e/x.gif", "21"},
      {"/%2E./top/%2e/../../x.gif", "21"},
      {"/top/../../../x.gif", "21"},
      {"/top/./c.gif", "11"},
      {"/a%2f..%2f..%2fx.gif", "21"},
      {"/&#46;&#46;/x.gif", "21"},
      {"\\..\\x.gif", "21"},  // read as /../x.gif
      {"https://example.com/../x.gif", "21"},
      {"https://example.com/top/%2e%2e/../x.gif", "21"},
      {"https://docs.example.com/v2/../top/c.gif", "-"},  // out of that site: remote
      {"../x.gif", "20"},
      {"top/../../x.gif", "20"},
      {"logo.gif%00.gif", "-"},
      {"/top/c.gif%00.gif", "-"},
      {"logo.gif&#37;00.gif", "-"},
      {"logo.gif%0\n0.gif", "-"},
      {std::string("logo.gif\0.gif", 13), "-"},
      {"logo.gif?v=%00", "2"},  // in the query, which names no file
  };
  for (const auto& row : rows) EXPECT_EQ(SizeOf(row.value, {}, sites), row.want) << row.value;
}

}  // namespace
}  // namespace tamarind
