#include "MoreFormats.h"

#include "ImageFile.h"

namespace tamarind {

bool GetPNGSize(const std::string&, ImageDimensions& size) {
  size = {};
  return false;
}

bool GetWebPSize(const std::string&, ImageDimensions& size) {
  size = {};
  return false;
}

bool GetBMPSize(const std::string&, ImageDimensions& size) {
  size = {};
  return false;
}

bool GetAVIFSize(const std::string&, ImageDimensions& size) {
  size = {};
  return false;
}

}  // namespace tamarind
