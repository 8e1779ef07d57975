#pragma once

// OSC messages to and from bytes, through liblo's codec. Bundles, and
// anything liblo cannot read, decode to nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tambrel::remote {

using OscArg = std::variant<int32_t, float, std::string>;

struct OscMessage {
    std::string path;
    std::string types;  // one type tag a argument: "i", "ii", "s"...
    std::vector<OscArg> args;
};

std::optional<OscMessage> decodeOsc(const char* data, size_t size);
std::vector<char> encodeOsc(const std::string& path, const std::vector<OscArg>& args);

}  // namespace tambrel::remote
