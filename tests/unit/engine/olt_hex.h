// Annotated hex for the OLT configuration tests: hex digits with any spacing,
// and "|" or text after "#" on a line as annotations that are skipped.
#pragma once

#include "common/mgmt_conn.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

inline std::vector<uint8_t> olt_hex(const std::string &annotated)
{
    std::string plain;
    std::istringstream lines(annotated);
    for (std::string line; std::getline(lines, line);) {
        line = line.substr(0, line.find('#'));
        for (char c : line)
            if (c != '|')
                plain += c;
        plain += ' ';
    }
    std::vector<uint8_t> out;
    EXPECT_TRUE(mgmt_parse_hex(plain, out)) << annotated;
    return out;
}
