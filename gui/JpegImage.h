// Decoding the splash picture with IJG libjpeg.
#pragma once

#include <QByteArray>
#include <QImage>

namespace tamarind {

// Decodes a JPEG held in memory into an RGB image; a null image when the
// data is no JPEG libjpeg can read.
QImage DecodeJpeg(const QByteArray& data);

}  // namespace tamarind
