// tamarind-cli: gives every IMG tag of HTML files the size of its picture.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "MainProc.h"

#ifndef TAMARIND_VERSION
#define TAMARIND_VERSION "0.0.0"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: tamarind-cli [OPTIONS] FILE...\n"
    "       tamarind-cli [OPTIONS] -          (standard input to standard output)\n"
    "       tamarind-cli --size IMAGE...\n"
    "Adds width= and height= to every IMG tag of each HTML FILE, in place,\n"
    "from the header bytes of the GIF or JPEG picture that its SRC names.\n"
    "\n"
    "  -a, --alt           add alt=\"file name\" to tags without ALT\n"
    "  -B, --no-backup     do not keep the file as it was under NAME.bak\n"
    "  -o, --overwrite     rebuild measured tags so new sizes replace old ones\n"
    "  -q, --quote         write the numbers between double quotes\n"
    "  -r, --root DIR      local folder that stands for the web root of SRC=\"/...\"\n"
    "      --size          print the size of each IMAGE and change nothing\n"
    "      --trace         write the rewriter's trace lines to standard error\n"
    "  -h, --help          show this help and exit\n"
    "      --version       show the version and exit\n"
    "\n"
    "Example: tamarind-cli -a -q -r /var/www/html /var/www/html/index.html\n";

int UsageError(const std::string& message) {
  std::cerr << "tamarind-cli: " << message << "\n"
            << "Try 'tamarind-cli --help' for more information.\n";
  return kExitUsage;
}

int PrintSizes(const std::vector<std::string>& images) {
  int status = kExitOk;
  for (const std::string& image : images) {
    int32_t height = 0, width = 0;
    if (tamarind::GetImageSize(image, height, width)) {
      std::cout << image << ": " << width << "x" << height << "\n";
    } else {
      std::cout << image << ": no size\n";
      status = kExitFailed;
    }
  }
  return status;
}

// The rewritten document on standard output.
class StandardOutput : public tamarind::DocumentOutput {
 public:
  void Write(std::string_view bytes) override {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size()) failed_ = true;
  }
  bool Flush() { return std::fflush(stdout) == 0 && !failed_ && !std::ferror(stdout); }

 private:
  bool failed_ = false;
};

int ProcessStandardInput(tamarind::MainProc& engine) {
  StandardOutput out;
  try {
    const int changed = engine.ProcessStream(STDIN_FILENO, out);
    if (!out.Flush()) throw tamarind::EInOutError::FromErrno(errno);
    std::cerr << "-: " << changed << " tags changed\n";
    return kExitOk;
  } catch (const tamarind::EInOutError& e) {
    out.Flush();
    std::cerr << "tamarind-cli: -: " << e.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace

int main(int argc, char** argv) {
  enum { kOptSize = 256, kOptTrace, kOptVersion };
  static const option kLongOptions[] = {
      {"alt", no_argument, nullptr, 'a'},
      {"no-backup", no_argument, nullptr, 'B'},
      {"overwrite", no_argument, nullptr, 'o'},
      {"quote", no_argument, nullptr, 'q'},
      {"root", required_argument, nullptr, 'r'},
      {"size", no_argument, nullptr, kOptSize},
      {"trace", no_argument, nullptr, kOptTrace},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kOptVersion},
      {nullptr, 0, nullptr, 0},
  };

  tamarind::MainProc engine;
  engine.options.MakeBAKFile = true;
  bool sizeOnly = false;
  bool trace = false;
  opterr = 0;  // messages of our own
  for (;;) {
    int longIndex = 0;
    const int c = getopt_long(argc, argv, ":aBoqr:h", kLongOptions, &longIndex);
    if (c == -1) break;
    switch (c) {
      case 'a':
        engine.options.AddALTAttribute = true;
        break;
      case 'B':
        engine.options.MakeBAKFile = false;
        break;
      case 'o':
        engine.options.Parameter_OverWrite = true;
        break;
      case 'q':
        engine.options.Parameter_QuoteWrite = true;
        break;
      case 'r':
        engine.options.Parameter_ABSFolder = optarg;
        break;
      case kOptSize:
        sizeOnly = true;
        break;
      case kOptTrace:
        trace = true;
        break;
      case 'h':
        std::cout << kUsage;
        return kExitOk;
      case kOptVersion:
        std::cout << "tamarind-cli " << TAMARIND_VERSION << "\n";
        return kExitOk;
      case ':':
        return UsageError(std::string("option '") + argv[optind - 1] + "' needs a value");
      default:
        return UsageError(std::string("unknown option '") + argv[optind - 1] + "'");
    }
  }
  std::vector<std::string> files(argv + optind, argv + argc);
  if (files.empty()) return UsageError("no file given");
  if (sizeOnly) return PrintSizes(files);

  // The root folder stands in front of a SRC value that begins with "/";
  // a trailing "/" of its own would only double that one.
  std::string& root = engine.options.Parameter_ABSFolder;
  while (root.size() > 1 && root.back() == '/') root.pop_back();

  if (trace) {
    engine.trace = [](std::string_view line) {
      std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
      std::cerr << '\n';
    };
  }

  if (files.size() == 1 && files[0] == "-") return ProcessStandardInput(engine);
  for (const std::string& file : files) {
    if (file == "-") return UsageError("'-' (standard input) stands alone");
  }

  int status = kExitOk;
  for (const std::string& file : files) {
    try {
      const int changed = engine.ProcessFile(file);
      std::cout << file << ": " << changed << " tags changed\n";
    } catch (const std::exception& e) {
      // EInOutError says what went wrong with the file; anything else (no
      // memory for a huge tag) is reported the same way and the next file
      // is still processed.
      std::cout.flush();
      std::cerr << "tamarind-cli: " << file << ": " << e.what() << "\n";
      status = kExitFailed;
    }
  }
  return status;
}
