#include "common/textfile.h"

#include <fstream>
#include <sstream>

bool read_text_file(const std::string &path, std::string &text, std::string &error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream content;
    content << in.rdbuf();
    text = content.str();
    return true;
}
