// Replays every file of the seed folders given on the command line through
// the fuzz target once, so that the seeds run as an ordinary test (under the
// sanitizer build too) without libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        std::vector<std::filesystem::path> files;
        for (const auto &entry : std::filesystem::directory_iterator(argv[i]))
            if (entry.is_regular_file())
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto &path : files) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            // libFuzzer never passes a null buffer, not even for an empty
            // input; an empty vector's data() may be null.
            static const uint8_t empty = 0;
            LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
            count++;
        }
    }
    std::printf("replayed %zu inputs\n", count);
    return count ? 0 : 1;
}
