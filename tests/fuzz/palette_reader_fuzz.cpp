// Fuzzes the palette reader with arbitrary bytes: it must never crash, hang
// or break its promises, and whatever it reads whole must survive a write
// and a second read unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "palettes/palette_file.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tambrel::palettes;
    using tambrel::kSlots;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const PaletteContent content = readPalette(bytes);

    require(content.paths.size() <= kSlots);
    require(content.volumes.size() <= static_cast<size_t>(kSlots));
    for (int32_t volume : content.volumes) require(volume >= 0 && volume <= 17000);
    if (content.paths.size() < kSlots) require(!content.error.isEmpty());
    if (content.error.isEmpty()) {
        require(content.paths.size() == kSlots);
        require(content.volumes.empty() || content.volumes.size() == kSlots);
    }
    if (!content.error.isEmpty() || content.volumes.empty()) return 0;

    std::array<QString, kSlots> paths;
    std::array<int32_t, kSlots> volumes{};
    for (int i = 0; i < kSlots; ++i) {
        paths[static_cast<size_t>(i)] = content.paths[i];
        volumes[static_cast<size_t>(i)] = content.volumes[static_cast<size_t>(i)];
    }
    QByteArray written;
    QString error;
    // Written back in the character set it was read in, or in UTF-8 when
    // that cannot hold it: either way the paths come back as they were read.
    require(writePalette(paths, volumes, written, error, content.encoding));
    const PaletteContent again = readPalette(written);
    require(again.error.isEmpty());
    require(again.volumes == content.volumes);
    for (int i = 0; i < kSlots; ++i) require(again.paths[i] == content.paths[i]);
    return 0;
}
