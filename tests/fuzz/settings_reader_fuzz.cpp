// Fuzzes the settings reader with arbitrary bytes: no crash, no hang, its
// promises kept, and a whole read survives a write and a second read.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "app/settings_file.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tambrel::app;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const SettingsContent content = readSettings(bytes);
    require(content.colors.size() <= static_cast<size_t>(kSettingsColors));
    require(content.error.isEmpty() == (content.colors.size() == kSettingsColors));
    require(!content.device.contains(u'\r') && !content.device.contains(u'\n'));
    if (!content.error.isEmpty()) return 0;

    std::array<int32_t, kSettingsColors> colors{};
    for (int j = 0; j < kSettingsColors; ++j)
        colors[static_cast<size_t>(j)] = content.colors[static_cast<size_t>(j)];
    const SettingsContent again =
        readSettings(writeSettings(content.device, colors, content.encoding));
    require(again.error.isEmpty());
    require(again.device == content.device);
    require(again.colors == content.colors);
    return 0;
}
