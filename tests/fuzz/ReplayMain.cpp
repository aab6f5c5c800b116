// Runs the fuzz target over files and folders of inputs without libFuzzer, so that every build
// (sanitizers included) replays the stored corpus.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  size_t inputs = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(argv[i])) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) files.push_back(entry.path());
    } else {
      files.emplace_back(argv[i]);
    }
    for (const auto& file : files) {
      std::ifstream stream(file, std::ios::binary);
      const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                       std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++inputs;
    }
  }
  std::cout << "replayed " << inputs << " inputs" << std::endl;
  return inputs > 0 ? 0 : 1;
}
