// Runs a fuzz target over saved inputs without libFuzzer: every file in the
// directories (or the files) named on the command line, in name order, each
// in a heap block of exactly its size so that a sanitizer sees any over-read.
// Exit status 1 when an argument cannot be read or names no input at all.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "fuzz_check.h"

namespace fs = std::filesystem;

static bool replay(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "cannot read %s\n", file.string().c_str());
        return false;
    }
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // new[] of 0 bytes still gives a distinct block ASan guards.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size()]);
    if (!bytes.empty())
        memcpy(copy.get(), bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(copy.get(), bytes.size());
    return true;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s DIR|FILE...\n", argv[0]);
        return 2;
    }
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        std::error_code ec;
        std::vector<fs::path> files;
        if (fs::is_directory(arg, ec)) {
            for (const auto &entry : fs::directory_iterator(arg, ec))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            if (ec) {
                fprintf(stderr, "cannot list %s: %s\n", argv[i], ec.message().c_str());
                return 1;
            }
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(arg);
        }
        for (const fs::path &f : files) {
            if (!replay(f))
                return 1;
            count++;
        }
    }
    printf("%zu inputs replayed\n", count);
    return count > 0 ? 0 : 1;
}
