#pragma once

// What the program tells the operator and the support outside the window:
// one line on standard error, "Tambrel: " then the text, in French. A line
// break in the text becomes a space, so that each report stays one line.
// Never called from the real-time audio thread.

#include <string_view>

namespace tambrel::platform {

// The text in UTF-8.
void report(std::string_view text);

// Any text that converts itself to UTF-8, as QString does; the audio engine,
// which knows nothing of Qt, calls the overload above.
template <typename Text>
requires requires(const Text& text) {
    text.toUtf8();
}
void report(const Text& text) {
    const auto bytes = text.toUtf8();
    report(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
}

}  // namespace tambrel::platform
