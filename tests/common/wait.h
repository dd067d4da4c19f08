// Helpers every test shares: a sandbox root, waiting on a condition, reading
// and counting what the daemon printed.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

// A fresh temporary root with the board's folders (tmp/, dev/, etc/config/,
// usr/local/share/).
inline std::string sandbox_root()
{
    char pattern[] = "/tmp/zandrel-test-XXXXXX";
    std::string root = mkdtemp(pattern) ? pattern : "/tmp/zandrel-test-failed";
    for (const char *dir : {"/tmp", "/dev", "/etc/config", "/usr/local/share"})
        std::filesystem::create_directories(root + dir);
    return root;
}

// Polls `condition` every `poll_ms` until it holds or `seconds` pass. The
// bound is generous: it only matters when a test is about to fail.
inline bool eventually(const std::function<bool()> &condition, int seconds = 20, int poll_ms = 10)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    return condition();
}

inline std::string read_file(const std::string &path)
{
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Occurrences of `what` in `text`.
inline int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}
