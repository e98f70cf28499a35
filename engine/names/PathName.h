// The parts of a file name, in the three forms their users need.
//
// On this platform "/" is the only separator. It can never be the second
// byte of a double-byte character (those are 0x40 and up in every code page
// in use here), so a plain byte search for it is safe on names of any
// encoding. This is the one place that relies on it.
#pragma once

#include <string>
#include <string_view>

namespace tamarind {

// The position of the last separator, or npos.
inline size_t LastSeparator(std::string_view name) {
  return name.rfind('/');
}

// The folder a name lies in, ending in "/", for joining a relative name to:
// "web/index.html" gives "web/", a bare name gives "".
inline std::string FolderPrefixOf(std::string_view name) {
  const size_t slash = LastSeparator(name);
  return slash == std::string_view::npos ? std::string() : std::string(name.substr(0, slash + 1));
}

// The folder a name lies in, as a name to open: "web/index.html" gives
// "web", "/index.html" gives "/", a bare name gives ".".
inline std::string FolderToOpen(std::string_view name) {
  const size_t slash = LastSeparator(name);
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(name.substr(0, slash));
}

// The folder of the last file as the wizard's store keeps it: without the
// separator unless it is the root or follows another one ("/web/index.html"
// gives "/web", "/index.html" gives "/", "web//index.html" gives "web//",
// a bare name gives "").
inline std::string FolderAsStored(std::string_view name) {
  const size_t slash = LastSeparator(name);
  if (slash == std::string_view::npos) return {};
  if (slash == 0 || name[slash - 1] == '/') return std::string(name.substr(0, slash + 1));
  return std::string(name.substr(0, slash));
}

// The extension of a name's last component, from its last "." ("" when it
// has none): "a.b/c.GIF" gives ".GIF", "pics.old/photo" gives "".
inline std::string_view ExtensionOf(std::string_view name) {
  const size_t cut = name.find_last_of("./");
  if (cut == std::string_view::npos || name[cut] != '.') return {};
  return name.substr(cut);
}

}  // namespace tamarind
