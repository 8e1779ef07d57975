#include "platform/report.h"

#include <cstdio>
#include <string>

namespace tambrel::platform {

void report(std::string_view text) {
    std::string line = "Tambrel: ";
    line.reserve(line.size() + text.size() + 1);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        line += c == '\n' || c == '\r' ? ' ' : c;
    }
    line += '\n';
    // One write, so that lines from two threads never mix.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace tambrel::platform
