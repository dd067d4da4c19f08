// Reading the simulators' own text files (board files).
#pragma once

#include <string>

// The whole file into `text`; false with "cannot read PATH" in `error`.
bool read_text_file(const std::string &path, std::string &text, std::string &error);
