// The main() of the fuzz targets where libFuzzer is not at hand (g++, or a
// clang without it): every file named, and every file in every folder named,
// goes once through LLVMFuzzerTestOneInput. The build's tests replay the
// corpora this way, so the targets' checks run on every build.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = 1; i < argc; ++i) {
    std::error_code error;
    if (fs::is_directory(argv[i], error)) {
      for (const fs::directory_entry& entry : fs::recursive_directory_iterator(argv[i])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else if (fs::is_regular_file(argv[i], error)) {
      files.emplace_back(argv[i]);
    } else {
      std::fprintf(stderr, "%s: no such file or folder\n", argv[i]);
      return 2;
    }
  }
  // In a fixed order, so that a failure comes at the same input every time.
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    // A buffer of exactly the file's size, as libFuzzer hands over: a read
    // past its end is a read past the input.
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    if (in.bad()) {
      std::fprintf(stderr, "%s: cannot be read\n", file.c_str());
      return 2;
    }
    std::fprintf(stderr, "Running: %s (%zu bytes)\n", file.c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  std::printf("%zu inputs replayed\n", files.size());
  // Nothing to replay is a corpus in the wrong place, not a pass.
  return files.empty() ? 1 : 0;
}
