#pragma once
// Reading and writing settings files as plain text, to see what the program stored without
// going through its own ini code.

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace una::test {

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The value of key in section of an ini text; none when missing.
inline std::optional<std::string> iniValue(const std::string& text, const std::string& section,
                                           const std::string& key) {
    std::istringstream lines(text);
    std::string line, current;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 1 && line.front() == '[' && line.back() == ']')
            current = line.substr(1, line.size() - 2);
        else if (current == section && line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return std::nullopt;
}

}  // namespace una::test
