// Helpers every test shares: waiting on a condition and counting what the
// daemon printed.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

// Polls `condition` until it holds or `seconds` pass. The bound is generous:
// it only matters when a test is about to fail.
inline bool eventually(const std::function<bool()> &condition, int seconds = 20)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// Occurrences of `what` in `text`.
inline int count_of(const std::string &text, const std::string &what)
{
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}
