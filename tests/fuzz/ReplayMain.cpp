// Replays every input of the corpus folders given through the fuzz target, so
// the seeds and the findings kept as regressions run in the normal suite.
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include "FuzzInput.h"

int main(int argc, char** argv) {
    std::set<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        inputs.insert(std::filesystem::directory_iterator(argv[i]), {});
    }
    for (const auto& path : inputs) {
        std::cout << "replaying " << path.string() << std::endl;
        std::ifstream file(path, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(file), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    return inputs.empty() ? 1 : 0;  // an empty corpus would pass without testing anything
}
