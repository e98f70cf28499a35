#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tamarind::cli {

MessageLanguage LocaleLanguage() {
  // The first of these that is set decides, as for every program's messages.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::strncmp(value, "ja", 2) == 0 ? MessageLanguage::Japanese : MessageLanguage::English;
  }
  return MessageLanguage::English;
}

std::string ErrorText(const std::exception& e, MessageLanguage language) {
  if (const auto* io = dynamic_cast<const EInOutError*>(&e)) return io->Message(language);
  return e.what();
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c != 0x7f) {
      out += ch;
    } else if (c >= '\a' && c <= '\r') {  // BEL, BS, TAB, LF, VT, FF, CR
      out += '\\';
      out += "abtnvfr"[c - '\a'];
    } else {
      char octal[8];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    }
  }
  return out;
}

bool CheckedOutput::Write(std::string_view bytes) {
  return Append(bytes) && Flush();
}

bool CheckedOutput::Append(std::string_view bytes) {
  if (failed_) return false;
  errno = 0;
  return std::fwrite(bytes.data(), 1, bytes.size(), stdout) == bytes.size() || Fail();
}

bool CheckedOutput::Flush() {
  if (failed_) return false;
  errno = 0;
  return std::fflush(stdout) == 0 || Fail();
}

bool CheckedOutput::Fail() {
  const int err = errno != 0 ? errno : EIO;
  failed_ = true;
  std::clearerr(stdout);
  std::string message = "tamarind-cli: standard output: ";
  message += language_ == MessageLanguage::English ? std::strerror(err)
                                                   : EInOutError::FromErrno(err).what();
  message += "\n";
  std::fputs(message.c_str(), stderr);
  std::fflush(stderr);
  return false;
}

}  // namespace tamarind::cli
