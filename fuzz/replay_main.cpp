// Runs a fuzz target over saved inputs without libFuzzer, so the corpus and
// every kept crash replay under any compiler. Arguments are files or
// folders (each file in a folder is one input).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    std::exit(2);
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  // An exact-size heap block, so a read past the input shows under
  // AddressSanitizer as it does under libFuzzer.
  const std::size_t size = bytes.size();
  auto* data = new uint8_t[size == 0 ? 1 : size];
  std::copy(bytes.begin(), bytes.end(), data);
  LLVMFuzzerTestOneInput(data, size);
  delete[] data;
}

}  // namespace

int main(int argc, char** argv) {
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (!entry.is_regular_file()) continue;
        run_file(entry.path());
        ++inputs;
      }
    } else if (std::filesystem::exists(path)) {
      run_file(path);
      ++inputs;
    }
  }
  std::printf("%d inputs replayed\n", inputs);
  return 0;
}
