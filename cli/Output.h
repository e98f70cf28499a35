// What the command line prints: checked writes to standard output, and its
// messages in the user's language.
#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "files/FileIo.h"

namespace tamarind::cli {

// Japanese when the locale (LC_ALL, else LC_MESSAGES, else LANG) is
// Japanese, else English: the language of the engine's I/O messages.
MessageLanguage LocaleLanguage();

// The message of a failure, in `language`.
std::string ErrorText(const std::exception& e, MessageLanguage language);

// Text taken from a page (a SRC value, the name made of it) as a message line
// may show it: each control byte as a C escape ("\n", "\033"), so that a
// page cannot break the line in two or send escape sequences to the
// terminal; every other byte as it is.
std::string Printable(std::string_view text);

// Standard output, with every write checked. The first failure (a closed
// pipe, a full disk) is reported once on standard error; from then on
// nothing more is printed there, and Failed() tells the program to end with
// status 1. A run that edits files goes on all the same: a closed pipe must
// never leave a site half done.
class CheckedOutput {
 public:
  explicit CheckedOutput(MessageLanguage language) : language_(language) {}
  // Writes and flushes `bytes`; false once output has failed.
  bool Write(std::string_view bytes);
  // Writes `bytes` through the buffer, for output made in many small pieces
  // (a document); Write() or Flush() flushes it.
  bool Append(std::string_view bytes);
  bool Flush();
  bool Failed() const { return failed_; }

 private:
  bool Fail();

  MessageLanguage language_;
  bool failed_ = false;
};

}  // namespace tamarind::cli
