// TagRewriter: the IMG tag rewriter.
//
// Takes the text of one tag (without its brackets) and, when it is an IMG
// tag, adds the sides of its picture and what the options ask for. The
// rewriter keeps no state: everything it reads besides the tag comes in its
// context, the picture's size too, through the lookup the caller hands it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "Ascii.h"
#include "Options.h"
#include "probe/Formats.h"

namespace tamarind {

// Finds and measures the picture a SRC value names (its quotes dropped,
// not empty): PictureFinder's answer in a run. Sets `path` to the file it
// looked at, for the report of a tag left without a size.
using PictureLookup = std::function<ProbeResult(std::string_view src, std::string& path)>;

// What the rewriter tells of an IMG tag it left without a size.
struct TagMiss {
  bool missed = false;
  MissReason reason = MissReason::NoPicture;
  ImageKind extension = ImageKind::None;  // what the picture's name says
  std::string_view src;                   // the SRC value, its quotes dropped
  std::string_view detail;                // fixed text, see MissReason
  // StyleFixesSide: where the style stands, the stylesheet file and its
  // line (0 for the tag's own style attribute).
  std::string_view styleFile;
  uint32_t styleLine = 0;
};

// Tells whether the styles that apply to an IMG tag (its text; `styled`: it
// has a style attribute) fix one of its sides and leave the other to the
// written attribute, which would then distort the picture; if so, says
// where in `why` and returns true.
using StyleCheck = std::function<bool(std::string_view tag, bool styled, TagMiss& why)>;

// Working storage of the rewriter, kept from one tag to the next so that a
// document of many IMG tags does not allocate for each of them.
struct RewriteScratch {
  std::string path;
  std::string additions;
};

// Everything the rewriter reads besides the tag itself.
struct RewriteContext {
  const ProcessingOptions* options = nullptr;
  const PictureLookup* find = nullptr;
  const TraceLog* trace = nullptr;     // may be null or empty
  RewriteScratch* scratch = nullptr;   // may be null
  TagMiss* miss = nullptr;             // may be null: nobody asks
  const StyleCheck* styles = nullptr;  // may be null: no styles are looked at
  // The document is XHTML: added numbers are written in double quotes
  // whatever Parameter_QuoteWrite says, so that it stays well-formed XML.
  bool xhtml = false;
  // The tag is to be a <source> of a picture, not an IMG: its srcset alone
  // names its picture (a SRC there is a video's), and it gets no alt text.
  bool pictureSource = false;
  // Not empty: an IMG whose sizes a browser would apply to the picture of
  // this <source> before it, which has none; the IMG gets no size.
  std::string_view unsizedSource = {};
};

// Rewrites the text of one tag (without its brackets). Returns true and sets
// `result` when the tag changed; returns false and leaves `result` alone when
// the tag stays as it is (any tag that is not IMG, an IMG that got nothing).
bool FormatImageTag(std::string_view tag, const RewriteContext& context, std::string& result);

// A cheap first look for the tag pass: false for a tag that cannot be an IMG
// tag because its first byte is neither a blank nor an "i". Most tags of a
// page end here, without a call.
inline bool MayBeImageTag(std::string_view tag) {
  if (tag.empty()) return false;
  return IsHtmlSpace(tag[0]) || tag[0] == 'i' || tag[0] == 'I';
}

// Whether a tag's text is an IMG tag with attributes; if so, its name as
// written and its attribute text, both trimmed. The name ends at a blank or
// a "/", as in browsers (<img/src=a.gif>).
bool SplitImageTag(std::string_view tag, std::string_view& name, std::string_view& attributes);
// The same for a tag named `upperName` (any letter case).
bool SplitTagNamed(std::string_view tag, std::string_view upperName, std::string_view& name,
                   std::string_view& attributes);

// The first value of the attribute `upperName` (any letter case) in the text
// of a tag, as the rewriter reads attributes, with one pair of quotes
// dropped. False when no attribute of that name has a value.
bool AttributeValue(std::string_view tag, std::string_view upperName, std::string_view& value);

}  // namespace tamarind
