// Helpers for the benchmarks:
//   bench-tool document DIR MEGABYTES IMG_TAGS PICTURES
//       writes DIR/page.html (ordinary HTML of about MEGABYTES, holding
//       IMG_TAGS IMG tags spread evenly) and PICTURES small GIF and JPEG
//       files under DIR/images, all from a fixed seed, so that every run
//       measures the same bytes.
//   bench-tool site DIR PAGES KILOBYTES IMG_TAGS PICTURES
//       writes a site of PAGES pages in folders of 100 under DIR, each of
//       about KILOBYTES with IMG_TAGS IMG tags, over PICTURES pictures in
//       DIR/images, from the same fixed seed.
//   bench-tool hostile KIND FILE MEGABYTES
//       writes a file made to be hard on the program: "one-tag" (one IMG tag
//       of that size, of many attributes), "brackets" (only "<"),
//       "open-quote" (an IMG tag whose quoted value holding "<" and ">" is
//       never closed), "tag-opens" ("<a " again and again, no ">"), "no-soi"
//       (a .jpg of bytes without FF D8), "back-steps" (a JPEG whose segment
//       lengths point back).
//   bench-tool measure COMMAND [ARG...]
//       runs the command and prints "SECONDS PEAK_KB" (wall time, and the
//       largest resident set of the command) on standard error.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

// A small fixed-seed generator: the same document on every machine.
class Random {
 public:
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<uint32_t>(state_ >> 33);
  }
  uint32_t Below(uint32_t n) { return Next() % n; }

 private:
  uint64_t state_ = 0x7a6d6172696e64ULL;
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::cerr << "bench-tool: cannot write " << path << "\n";
    std::exit(1);
  }
}

std::string GifHeader(uint16_t w, uint16_t h) {
  std::string s = "GIF89a";
  for (uint16_t v : {w, h}) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
  }
  return s + std::string("\x00\x00\x00;", 4);
}

std::string JpegHeader(uint16_t w, uint16_t h) {
  std::string s("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 20);
  s += std::string("\xFF\xC0\x00\x11\x08", 5);
  for (uint16_t v : {h, w}) {
    s += static_cast<char>(v >> 8);
    s += static_cast<char>(v & 0xFF);
  }
  return s + std::string("\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01\xFF\xD9", 12);
}

const char* const kWords[] = {"tamarind", "pods",   "orchard", "harvest", "sweet",  "sour",
                              "tree",     "leaves", "market",  "fresh",   "season", "pulp",
                              "seeds",    "juice",  "recipe",  "sauce",   "garden", "picked"};

std::string Sentence(Random& r) {
  std::string s;
  const uint32_t n = 6 + r.Below(10);
  for (uint32_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += kWords[r.Below(sizeof kWords / sizeof kWords[0])];
  }
  return s + ". ";
}

// Pictures of made-up sizes under DIR/images; returns their names.
std::vector<std::string> MakePictures(const std::string& dir, int pictures, Random& r) {
  ::mkdir(dir.c_str(), 0755);
  ::mkdir((dir + "/images").c_str(), 0755);
  std::vector<std::string> names;
  for (int i = 0; i < pictures; ++i) {
    const auto w = static_cast<uint16_t>(16 + r.Below(1200));
    const auto h = static_cast<uint16_t>(16 + r.Below(900));
    const bool gif = i % 3 != 0;
    names.push_back("images/picture" + std::to_string(i) + (gif ? ".gif" : ".jpg"));
    WriteFile(dir + "/" + names.back(), gif ? GifHeader(w, h) : JpegHeader(w, h));
  }
  return names;
}

// Ordinary HTML of about `target` bytes with `imgTags` IMG tags spread evenly,
// naming pictures as `prefix` + one of `names`.
std::string Page(size_t target, long imgTags, const std::vector<std::string>& names,
                 const std::string& prefix, Random& r, long& placed) {
  const size_t perImage = imgTags > 0 ? target / static_cast<size_t>(imgTags) : target;
  std::string doc =
      "<!DOCTYPE html>\n<html>\n<head><meta charset=\"utf-8\"><title>Bench</title>"
      "</head>\n<body>\n";
  doc.reserve(target + 4096);
  long here = 0;
  size_t nextImage = perImage;
  while (doc.size() < target || here < imgTags) {
    doc += "<div class=\"entry\">\n<h2>";
    doc += Sentence(r);
    doc += "</h2>\n<p>";
    for (int i = 0; i < 3; ++i) {
      doc += Sentence(r);
      doc += "<a href=\"page" + std::to_string(r.Below(500)) + ".html\">";
      doc += kWords[r.Below(18)];
      doc += "</a> <b>";
      doc += kWords[r.Below(18)];
      doc += "</b> ";
    }
    if (here < imgTags && doc.size() >= nextImage) {
      const std::string name = prefix + names[r.Below(static_cast<uint32_t>(names.size()))];
      switch (placed % 4) {
        case 0:
          doc += "<img src=\"" + name + "\" alt=\"photo\">";
          break;
        case 1:
          doc += "<IMG SRC=" + name + ">";
          break;
        case 2:
          doc += "<img class=\"pic\" src='" + name + "' />";
          break;
        default:
          doc += "<img src=\"" + name + "\"\n     title=\"" + Sentence(r) + "\">";
          break;
      }
      ++placed;
      ++here;
      nextImage += perImage;
    }
    doc += "</p>\n</div>\n";
  }
  return doc + "</body>\n</html>\n";
}

int MakeDocument(const std::string& dir, double megabytes, long imgTags, int pictures) {
  Random r;
  const std::vector<std::string> names = MakePictures(dir, pictures, r);
  long placed = 0;
  const std::string doc =
      Page(static_cast<size_t>(megabytes * 1024 * 1024), imgTags, names, "", r, placed);
  WriteFile(dir + "/page.html", doc);
  std::cout << dir << "/page.html: " << doc.size() << " bytes, " << placed << " IMG tags, "
            << pictures << " pictures\n";
  return 0;
}

int MakeSite(const std::string& dir, int pages, double kilobytes, long imgTags, int pictures) {
  Random r;
  const std::vector<std::string> names = MakePictures(dir, pictures, r);
  long placed = 0;
  size_t bytes = 0;
  for (int i = 0; i < pages; ++i) {
    const std::string folder = dir + "/section" + std::to_string(i / 100);
    ::mkdir(folder.c_str(), 0755);
    const std::string doc =
        Page(static_cast<size_t>(kilobytes * 1024), imgTags, names, "../", r, placed);
    WriteFile(folder + "/page" + std::to_string(i) + ".html", doc);
    bytes += doc.size();
  }
  std::cout << dir << ": " << pages << " pages, " << bytes << " bytes, " << placed << " IMG tags, "
            << pictures << " pictures\n";
  return 0;
}

// Writes `total` bytes to `path`: `head`, then `unit` repeated, then `tail`.
int WriteRepeated(const std::string& path, const std::string& head, const std::string& unit,
                  const std::string& tail, size_t total) {
  std::ofstream out(path, std::ios::binary);
  out << head;
  std::string block;
  while (block.size() < (1 << 20)) block += unit;
  size_t written = head.size() + tail.size();
  while (written + block.size() <= total) {
    out << block;
    written += block.size();
  }
  while (written + unit.size() <= total) {
    out << unit;
    written += unit.size();
  }
  out << tail;
  if (!out) {
    std::cerr << "bench-tool: cannot write " << path << "\n";
    return 1;
  }
  return 0;
}

int MakeHostile(const std::string& kind, const std::string& path, double megabytes) {
  const auto total = static_cast<size_t>(megabytes * 1024 * 1024);
  if (kind == "one-tag") return WriteRepeated(path, "<img src=a.gif ", "x=1 ", ">", total);
  if (kind == "brackets") return WriteRepeated(path, "", "<", "", total);
  if (kind == "open-quote")
    return WriteRepeated(path, "<img src=a.gif alt=\"", "<p>><<", "", total);
  if (kind == "tag-opens") return WriteRepeated(path, "", "<a ", "", total);
  if (kind == "no-soi") return WriteRepeated(path, "", "\xFF\xD9\x00\xFF", "", total);
  if (kind == "back-steps") {
    return WriteRepeated(path, "\xFF\xD8", std::string("\xFF\xE0\x00\x00\xFF\xE1\x00\x01", 8), "",
                         total);
  }
  std::cerr << "bench-tool: no such kind: " << kind << "\n";
  return 2;
}

int Measure(char** argv) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execvp(argv[0], argv);
    std::perror(argv[0]);
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) < 0) return 1;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr, "%.3f %ld\n", seconds, usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string verb = argc > 1 ? argv[1] : "";
  if (verb == "document" && argc == 6) {
    return MakeDocument(argv[2], std::atof(argv[3]), std::atol(argv[4]), std::atoi(argv[5]));
  }
  if (verb == "site" && argc == 7) {
    return MakeSite(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atol(argv[5]),
                    std::atoi(argv[6]));
  }
  if (verb == "hostile" && argc == 5) return MakeHostile(argv[2], argv[3], std::atof(argv[4]));
  if (verb == "measure" && argc > 2) return Measure(argv + 2);
  std::cerr << "usage: bench-tool document DIR MEGABYTES IMG_TAGS PICTURES\n"
               "       bench-tool site DIR PAGES KILOBYTES IMG_TAGS PICTURES\n"
               "       bench-tool hostile KIND FILE MEGABYTES\n"
               "       bench-tool measure COMMAND [ARG...]\n";
  return 2;
}
