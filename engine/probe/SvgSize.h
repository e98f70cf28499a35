// SvgSize: the size of an SVG picture, from the text of its root element.
#pragma once

#include <string_view>

#include "probe/Formats.h"

namespace tamarind {

class ImageFile;

// The reader of the format table: the root svg element's width and height,
// or one of them and its viewBox (see SvgSizeOf), from the file's start.
// True once both sides were read into `size`; an SVG without a size of its
// own says so in `size.reason`.
bool ReadSVG(ImageFile& f, ProbeResult& size);

// The size an SVG document gives its root element, from its text (the first
// 64 KiB of the file are enough), as a browser sizes the picture: the root's
// width and height in absolute units (px, none, in, cm, mm, Q, pt, pc) at 96
// px to the inch, rounded halves up; or one of them so and the other missing,
// "auto" or a percentage, then that one from the viewBox's proportions. Any
// other root (a viewBox alone, percentages, em or ex, no width and height)
// has no size of its own: `size.reason` is then NoOwnSize.
bool SvgSizeOf(std::string_view text, ProbeResult& size);

}  // namespace tamarind
