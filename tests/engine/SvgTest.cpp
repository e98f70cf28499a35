// The size of SVG pictures: units, the viewBox, and what may stand before
// the root element.
#include <gtest/gtest.h>

#include "probe/Formats.h"
#include "probe/SvgSize.h"
#include "support/TestFiles.h"

namespace tamarind {
namespace {

// "WxH" as the probe reads an SVG file holding `text`; "own size none" for
// an SVG the browser sizes by the page around it, "none" for no SVG at all.
std::string SizeOf(std::string_view text) {
  const test::TempDir dir;
  const ProbeResult probe = ProbeImageFile(dir.Write("picture.svg", text), ImageFormats::All());
  if (!probe.Found()) {
    if (probe.width != 0 || probe.height != 0) return "none but numbers left";
    return probe.reason == MissReason::NoOwnSize ? "own size none" : "none";
  }
  return std::to_string(probe.width) + "x" + std::to_string(probe.height);
}

TEST(SvgTest, RootElementSizes) {
  const struct {
    const char* name;
    std::string text, want;
  } rows[] = {
      {"px and bare numbers", R"(<svg width="120px" height="45">)", "120x45"},
      {"single quotes, blanks", "<svg\n  width = ' 120 '\theight='45px'/>", "120x45"},
      {"inches", R"(<svg width="1in" height="0.5in">)", "96x48"},
      {"centimetres", R"(<svg width="2.54cm" height="1cm">)", "96x38"},
      {"millimetres", R"(<svg width="25.4mm" height="10mm">)", "96x38"},
      {"quarter millimetres", R"(<svg width="101.6Q" height="4Q">)", "96x4"},
      {"points and picas", R"(<svg width="72pt" height="1pc">)", "96x16"},
      {"units in capitals", R"(<svg width="1IN" height="12PX">)", "96x12"},
      {"halves round up", R"(<svg width="10.5" height="2.49">)", "11x2"},
      {"exponent", R"(<svg width="1.2e2" height="4.5E1">)", "120x45"},
      {"zero", R"(<svg width="0" height="0">)", "none"},  // no picture is empty
      {"zero width and a viewBox", R"(<svg width="0" viewBox="0 0 4 3">)", "none"},
      {"width and viewBox ratio", R"(<svg width="200" viewBox="0 0 40 30">)", "200x150"},
      {"viewBox with commas", R"(<svg width="10" viewBox="-10,-10, 30.4 ,20.5">)", "10x7"},
      {"height and viewBox ratio", R"(<svg height="15px" viewBox="0 0 40 30">)", "20x15"},
      {"percent width from the ratio", R"(<svg width="50%" height="40" viewBox="0 0 40 30">)",
       "53x40"},
      {"auto height from the ratio", R"(<svg width="40" height="auto" viewBox="-5 -5 4 3">)",
       "40x30"},
      {"both absolute win over viewBox", R"(<svg width="10" height="10" viewBox="0 0 40 30">)",
       "10x10"},
      {"first of a doubled attribute", R"(<svg width="10" width="20" height="5">)", "10x5"},
      {"namespace prefix",
       R"(<svg:svg xmlns:svg="http://www.w3.org/2000/svg" width="9" height="8">)", "9x8"},
      {"prolog before the root",
       "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n<?xml-stylesheet href=\"a\"?>\n"
       "<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" \"x.dtd\" [\n"
       "  <!ENTITY ns \"<>\">\n]>\n<svg width=\"64\" height=\"32\">",
       "64x32"},
      // No size of its own: the browser stretches a viewBox to the page, and
      // gives the rest its default size or one from the font.
      {"no size at all", R"(<svg xmlns="http://www.w3.org/2000/svg">)", "own size none"},
      {"viewBox alone", R"(<svg viewBox="0 0 300 150">)", "own size none"},
      {"percentages and a viewBox", R"(<svg width="100%" height="100%" viewBox="0 0 40 30">)",
       "own size none"},
      {"auto and a viewBox", R"(<svg width="auto" height="auto" viewBox="0 0 40 30">)",
       "own size none"},
      {"one side, no viewBox", R"(<svg width="10">)", "own size none"},
      {"percent, no viewBox", R"(<svg width="100%" height="100%">)", "own size none"},
      {"em and ex", R"(<svg width="5em" height="2ex">)", "own size none"},
      {"em, even with a viewBox", R"(<svg width="80" height="2em" viewBox="0 0 40 30">)",
       "own size none"},
      {"viewBox of three numbers", R"(<svg width="10" viewBox="0 0 40">)", "own size none"},
      {"viewBox of five numbers", R"(<svg width="10" viewBox="0 0 40 30 1">)", "own size none"},
      {"viewBox of zero width", R"(<svg width="10" viewBox="0 0 0 30">)", "own size none"},
      {"negative viewBox height", R"(<svg width="10" viewBox="0 0 40 -30">)", "own size none"},
      {"negative width", R"(<svg width="-5" height="5" viewBox="0 0 2 1">)", "own size none"},
      {"unknown unit", R"(<svg width="5furlongs" height="5">)", "own size none"},
      {"calc", R"-(<svg width="calc(10px + 5px)" height="5" viewBox="0 0 2 1">)-", "own size none"},
      {"another root element", R"(<html><svg width="5" height="5">)", "none"},
      {"a root named almost svg", R"(<svgx width="5" height="5">)", "none"},
      {"text before the root", R"(hello <svg width="5" height="5">)", "none"},
      {"root tag never closes", R"(<svg width="5" height="5")", "none"},
      {"unclosed comment", R"(<!-- <svg width="5" height="5">)", "none"},
      {"too large", R"(<svg width="3e9" height="5">)", "none"},
      {"empty file", "", "none"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(SizeOf(row.text), row.want) << row.name;
  }
}

TEST(SvgTest, OnlyTheHeadOfTheFileIsRead) {
  const std::string comment = "<!--" + std::string(70 * 1024, 'x') + "-->";
  EXPECT_EQ(SizeOf(comment + R"(<svg width="5" height="5">)"), "none");
  EXPECT_EQ(SizeOf(std::string(60 * 1024, ' ') + R"(<svg width="5" height="5">)"), "5x5");
}

TEST(SvgTest, FilesThroughTheProbe) {
  test::TempDir dir;
  const std::string svg =
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="24" viewBox="0 0 24 12"/>)";
  int32_t height = 0, width = 0;
  EXPECT_TRUE(GetImageSize(dir.Write("a.svg", svg), height, width, ImageFormats::All()));
  EXPECT_EQ(width, 24);
  EXPECT_EQ(height, 12);
  EXPECT_TRUE(GetImageSize(dir.Write("b.SVG", svg), height, width, ImageFormats::All()));
  // Compressed SVG is not read, and the wizard's formats leave SVG alone.
  EXPECT_FALSE(GetImageSize(dir.Write("c.svgz", svg), height, width, ImageFormats::All()));
  EXPECT_FALSE(GetImageSize(dir / "a.svg", height, width, ImageFormats::Classic()));
  EXPECT_EQ(ProbeImageFile(dir / "a.svg", ImageFormats::Classic()).reason, MissReason::NotMeasured);
  const std::string sizeless = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 24 12"/>)";
  EXPECT_EQ(ProbeImageFile(dir.Write("d.svg", sizeless), ImageFormats::All()).reason,
            MissReason::NoOwnSize);
  EXPECT_EQ(ProbeImageFile(dir.Write("e.svg", "<html>"), ImageFormats::All()).reason,
            MissReason::NoSize);
}

TEST(SvgTest, FilesMadeByRsvg) {
  // rsvg-convert reads SVG the way browsers do; a picture it renders at a
  // size must have that size here too.
  if (std::system("command -v rsvg-convert >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "rsvg-convert is not installed (librsvg2-bin)";
  }
  test::TempDir dir;
  const struct {
    const char* file;
    std::string text;
  } rows[] = {
      {"mm.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="50mm" height="20mm"/>)"},
      {"pt.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="72pt" height="36pt"/>)"},
      {"box.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" height="45" viewBox="0 0 123 45"/>)"},
      {"ratio.svg", R"(<svg xmlns="http://www.w3.org/2000/svg" width="90" viewBox="0 0 30 20"/>)"},
  };
  for (const auto& row : rows) {
    const std::string svg = dir.Write(row.file, row.text);
    const std::string png = svg + ".png";
    ASSERT_EQ(std::system(("rsvg-convert -o '" + png + "' '" + svg + "'").c_str()), 0) << row.file;
    const ProbeResult fromSvg = ProbeImageFile(svg, ImageFormats::All());
    const ProbeResult fromPng = ProbeImageFile(png, ImageFormats::All());
    ASSERT_TRUE(fromSvg.Found() && fromPng.Found()) << row.file;
    EXPECT_EQ(fromSvg.width, fromPng.width) << row.file;
    EXPECT_EQ(fromSvg.height, fromPng.height) << row.file;
  }
}

}  // namespace
}  // namespace tamarind
