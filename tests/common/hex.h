// Hex text as bytes, for the tests' wire images: pairs of hex digits, with
// spaces, line breaks, "|", ":" and "-" between them ignored, and text from
// "#" to the end of a line skipped as annotation. Anything else, or an odd
// digit left over, fails the test.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

inline std::vector<uint8_t> hex(const std::string &text)
{
    std::string digits;
    bool comment = false;
    for (char c : text) {
        comment = (comment || c == '#') && c != '\n';
        if (comment || isspace(static_cast<unsigned char>(c)) || c == '|' || c == ':' || c == '-')
            continue;
        if (!isxdigit(static_cast<unsigned char>(c))) {
            ADD_FAILURE() << "not hex: " << text;
            return {};
        }
        digits += c;
    }
    if (digits.size() % 2)
        ADD_FAILURE() << "odd number of hex digits: " << text;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// `n` bytes that differ from block to block and from `seed` to `seed`, for
// images and payloads whose content only has to come back intact.
inline std::vector<uint8_t> byte_pattern(size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; i++)
        out[i] = uint8_t(seed + i * 7 + (i >> 8));
    return out;
}

#ifdef ZANDREL_VECTORS_DIR
// The byte vectors of an annotated hex file under tests/vectors/ (FILE is
// relative to it): each "[name]" line starts a vector, the hex text below it
// (as `hex` reads it) up to the next one is its bytes. A file that cannot be
// read, or a name given twice, fails the test.
inline std::map<std::string, std::vector<uint8_t>> hex_vectors(const std::string &file)
{
    std::map<std::string, std::vector<uint8_t>> out;
    std::ifstream in(std::string(ZANDREL_VECTORS_DIR) + "/" + file);
    if (!in) {
        ADD_FAILURE() << "cannot read vectors " << file;
        return out;
    }
    std::string line, name, text;
    auto flush = [&] {
        if (!name.empty() && !out.emplace(name, hex(text)).second)
            ADD_FAILURE() << file << ": vector " << name << " given twice";
    };
    while (std::getline(in, line)) {
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos && line[start] == '[') {
            flush();
            name = line.substr(start + 1, line.find(']', start) - start - 1);
            text.clear();
        } else {
            text += line + "\n";
        }
    }
    flush();
    return out;
}
#endif
