// Reading back files the code under test wrote.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace quillon::testing {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file != nullptr) {
        std::fclose(file);
    }
    return file != nullptr;
}

} // namespace quillon::testing
