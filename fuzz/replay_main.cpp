// Feeds every regular file of a directory (or a single file) to the fuzz
// target once, so the committed corpus can be replayed by any compiler with
// sanitizers but without libFuzzer. Exits non-zero if nothing was replayed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

bool replay(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // A fresh copy at an exact-size allocation lets ASan flag any read past the end.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus directory or file>\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  const fs::path root(argv[1]);
  std::size_t count = 0;
  if (fs::is_regular_file(root)) {
    if (!replay(root)) return 1;
    count = 1;
  } else {
    std::error_code error;
    for (const auto& item : fs::directory_iterator(root, error)) {
      if (!item.is_regular_file()) continue;
      if (!replay(item.path())) return 1;
      ++count;
    }
    if (error) {
      std::fprintf(stderr, "cannot list %s: %s\n", root.c_str(), error.message().c_str());
      return 1;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return count == 0 ? 1 : 0;
}
