// SPDX-License-Identifier: GPL-3.0-or-later
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Runs the fuzz target once over every file of the given directories (one not made yet holds none);
// fails when there was nothing to run, so that a misplaced corpus cannot pass unnoticed.
int main(int argc, char** argv)
{
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], error))
            inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> read{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        // Copied to exactly the input's size, so that a read past its end is caught as under libFuzzer.
        const std::vector<std::uint8_t> bytes(read.begin(), read.end());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs passed\n", inputs.size());
    return inputs.empty();
}
