#pragma once

// The settings file, "Tambrel.ini" beside the executable: line 1 the output
// device's name as the device list shows it, lines 2 to 8 the colours of
// lines 0 to 6 in the numeric print form. Read and written here as bytes;
// F1a::SettingsFile applies them to the window.

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <vector>

#include "platform/text_file.h"

namespace tambrel::app {

inline constexpr int kSettingsColors = 7;
// The line colours of a fresh copy, and of one whose settings file is gone.
inline constexpr int32_t kDefaultLineColors[kSettingsColors] = {9821225, 12615935, 12615808, 33023,
                                                                8454143, 16777088, 8421631};

// What a read found, in file order, up to the first failure.
struct SettingsContent {
    QString device;               // valid once line 1 was read
    std::vector<int32_t> colors;  // line colours read, line 0 first
    QString error;                // the failure's description; empty when all was read
    platform::TextEncoding encoding = platform::TextEncoding::Utf8;  // to write it back in
};

SettingsContent readSettings(const QByteArray& bytes);
QByteArray writeSettings(const QString& device, const std::array<int32_t, kSettingsColors>& colors,
                         platform::TextEncoding encoding = platform::TextEncoding::Utf8);

}  // namespace tambrel::app
