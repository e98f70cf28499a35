// Why an IMG tag was left without a size, and every text that tells it: one
// row per reason, so that a new reason is one enum value and one row.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace tamarind {

struct ImageMiss;

// Why a picture gave no size (the probe's answer) or an IMG tag got none
// (the rewriter's). The values stand in the order of kMissReasons.
enum class MissReason {
  None,             // a picture with a size: nothing missed
  NoPicture,        // no file of that name
  Folder,           // the name is a folder
  NotMeasured,      // the extension names no format, or one outside the set
  NoSize,           // a measured format whose header gives no size
  Unreadable,       // a picture that may not be opened
  Remote,           // a picture elsewhere on the web
  EmptySrc,         // SRC=""
  NotClosed,        // a quoted value of the tag is still open at the document's end
  InsideText,       // inside an element whose content is text (detail: its name)
  Percentage,       // the side given is a percentage (detail: WIDTH or HEIGHT)
  NotANumber,       // the side given is no number (detail: WIDTH or HEIGHT)
  TooLarge,         // the side given is too large to scale by (detail: WIDTH or HEIGHT)
  NoOwnSize,        // an SVG that leaves its size to the page
  SrcsetWidths,     // a srcset with width descriptors: the screen decides the size
  DensityNotExact,  // the picture's size does not divide by its srcset density
  SourceUnsized,    // a <source> of its picture has no size (detail: which)
  StyleFixesSide,   // a style fixes one side and leaves the other (detail: which)
};

// The texts of one reason. In `verbose`, {path} is the file looked for,
// {detail} the tag's fixed text (an attribute or element name), {format} the
// format the picture's name names, {extension} that name's extension and
// {style} where the style stands (FILE:LINE).
struct MissReasonRow {
  MissReason reason;
  // The word of the run's closing count; rows of the same word count
  // together ("no picture" is a missing file or a folder).
  std::string_view summary;
  // The line of `-v` for the tag.
  std::string_view verbose;
  // The line of `-v` when the picture's name names a known format, if it
  // differs from `verbose`.
  std::string_view verboseKnownFormat;
  // Why `--size` gives no size for a picture file (empty: the probe never
  // answers this reason).
  std::string_view sizeText;
};

// Every reason, in the enum's order (which is the order of the closing
// count).
inline constexpr auto kMissReasons = std::to_array<MissReasonRow>({
    {MissReason::None, "", "", "", ""},
    {MissReason::NoPicture, "no picture", "no picture at {path}", "", "no such file"},
    {MissReason::Folder, "no picture", "no picture at {path}", "", "a folder"},
    {MissReason::NotMeasured, "format not measured", "format not measured: {extension}",
     "{format} not in --formats", "not a picture format measured"},
    {MissReason::NoSize, "no size in the header", "no size in the picture's header", "",
     "no size in the header"},
    {MissReason::Unreadable, "unreadable", "cannot read the picture at {path}", "",
     "cannot be read"},
    {MissReason::Remote, "remote", "remote picture", "", ""},
    {MissReason::EmptySrc, "empty SRC", "empty SRC", "", ""},
    {MissReason::NotClosed, "not closed", "IMG tag not closed", "", ""},
    {MissReason::InsideText, "inside element text",
     "inside <{detail}> text: browsers do not show it", "", ""},
    {MissReason::Percentage, "percentage", "{detail} is a percentage", "", ""},
    {MissReason::NotANumber, "not a number", "{detail} is not a number", "", ""},
    {MissReason::TooLarge, "too large", "{detail} is too large", "", ""},
    {MissReason::NoOwnSize, "SVG without a size of its own", "SVG without a size of its own", "",
     "SVG without width and height"},
    {MissReason::SrcsetWidths, "responsive picture", "responsive picture (srcset with widths)", "",
     ""},
    {MissReason::DensityNotExact, "srcset density not exact",
     "its srcset density does not divide the picture's size", "", ""},
    {MissReason::SourceUnsized, "source without a size",
     "a <source> of its picture has no size: {detail}", "", ""},
    {MissReason::StyleFixesSide,
     "left because a style fixes one side; give the other side auto (height: auto) in that rule",
     "a style sets its {detail} ({style})", "", ""},
});

// The row of one reason.
const MissReasonRow& RowOf(MissReason reason);

// The `-v` line of a miss, its placeholders filled in.
std::string MissText(const ImageMiss& miss);

}  // namespace tamarind
