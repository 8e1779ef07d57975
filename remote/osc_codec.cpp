#include "remote/osc_codec.h"

#include <lo/lo.h>

#include <cstring>

namespace tambrel::remote {

std::optional<OscMessage> decodeOsc(const char* data, size_t size) {
    // liblo reads its input in place; a copy keeps the caller's bytes as they are.
    std::vector<char> bytes(data, data + size);
    if (bytes.empty() || bytes[0] != '/') return std::nullopt;  // a bundle, or no message
    const char* path = lo_get_path(bytes.data(), static_cast<ssize_t>(bytes.size()));
    if (path == nullptr) return std::nullopt;
    OscMessage message;
    message.path = path;
    int result = 0;
    lo_message decoded = lo_message_deserialise(bytes.data(), bytes.size(), &result);
    if (decoded == nullptr) return std::nullopt;
    const char* types = lo_message_get_types(decoded);
    lo_arg** argv = lo_message_get_argv(decoded);
    const int argc = lo_message_get_argc(decoded);
    message.types = types != nullptr ? types : "";
    // liblo's arguments sit at 4-byte steps in the packet: read them by
    // copy, never through the 8-byte union.
    for (int i = 0; i < argc && i < static_cast<int>(message.types.size()); ++i) {
        const auto* raw = reinterpret_cast<const char*>(argv[i]);
        switch (message.types[static_cast<size_t>(i)]) {
            case LO_INT32: {
                int32_t value = 0;
                std::memcpy(&value, raw, sizeof value);
                message.args.emplace_back(value);
                break;
            }
            case LO_FLOAT: {
                float value = 0;
                std::memcpy(&value, raw, sizeof value);
                message.args.emplace_back(value);
                break;
            }
            case LO_STRING:
            case LO_SYMBOL:
                message.args.emplace_back(std::string(raw));
                break;
            default:
                message.args.emplace_back(std::string());  // a type no request takes
                break;
        }
    }
    lo_message_free(decoded);
    return message;
}

std::vector<char> encodeOsc(const std::string& path, const std::vector<OscArg>& args) {
    lo_message message = lo_message_new();
    if (message == nullptr) return {};
    for (const OscArg& arg : args) {
        if (const auto* i = std::get_if<int32_t>(&arg)) lo_message_add_int32(message, *i);
        if (const auto* f = std::get_if<float>(&arg)) lo_message_add_float(message, *f);
        if (const auto* s = std::get_if<std::string>(&arg))
            lo_message_add_string(message, s->c_str());
    }
    std::vector<char> bytes(lo_message_length(message, path.c_str()));
    size_t size = bytes.size();
    if (lo_message_serialise(message, path.c_str(), bytes.data(), &size) == nullptr) bytes.clear();
    bytes.resize(bytes.empty() ? 0 : size);
    lo_message_free(message);
    return bytes;
}

}  // namespace tambrel::remote
