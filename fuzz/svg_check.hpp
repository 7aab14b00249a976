// What every picture must be, whatever the input: tags that open and close in
// pairs, and no coordinate or value that is not a finite number.
#ifndef MORVEX_FUZZ_SVG_CHECK_HPP
#define MORVEX_FUZZ_SVG_CHECK_HPP

#include <string>
#include <vector>

inline bool well_formed_svg(const std::string& svg) {
    std::vector<std::string> open;
    std::size_t pos = 0;
    while ((pos = svg.find('<', pos)) != std::string::npos) {
        const std::size_t end = svg.find('>', pos);
        if (end == std::string::npos) {
            return false;
        }
        const std::string tag = svg.substr(pos + 1, end - pos - 1);
        pos = end + 1;
        // Markup only: labels are text between tags and may say "nan" or "inf".
        if (tag.find("nan") != std::string::npos || tag.find("inf") != std::string::npos) {
            return false;
        }
        if (tag.empty() || tag[0] == '?' || tag[0] == '!' || tag.back() == '/') {
            continue;
        }
        const std::string name = tag.substr(0, tag.find_first_of(" \t\n"));
        if (name[0] != '/') {
            open.push_back(name);
        } else if (open.empty() || open.back() != name.substr(1)) {
            return false;
        } else {
            open.pop_back();
        }
    }
    return open.empty() && svg.find("<svg ") != std::string::npos;
}

#endif
