#pragma once

// The palette file: 28 path lines, one per slot in slot order (an empty
// line for an empty slot), then 28 volume lines in the numeric print form
// (" 16384 "), every line ended by CR LF. A file that ends right after its
// path lines is read too; its volumes are left as they are.
//
// Writer and reader agree field by field: a path goes out as a raw line and
// comes back the same, blanks, commas and quotes included. The character
// set and the number form are those of every file of the program
// (platform/text_file.h): a palette read as Windows-1252 goes back to disk
// byte for byte as it came.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>
#include <cstdint>
#include <vector>

#include "platform/slot_count.h"
#include "platform/text_file.h"

namespace tambrel::palettes {

inline const char* const kNotAPath = "Caractère de contrôle dans un chemin";

// What a read found, whole or nothing: a file that cannot give its 28 paths,
// and its 28 volumes when it goes on after them, gives neither, only why
// and on which line, so that a palette is never loaded in part.
struct PaletteContent {
    QStringList paths;             // the 28 path lines, slot 0 first
    bool hasVolumes = false;       // the file goes on after its 28 path lines
    std::vector<int32_t> volumes;  // the 28 volumes, slot 0 first, clamped to 0 to 17000
    QString error;                 // the failure's description; empty when all was read
    platform::TextEncoding encoding = platform::TextEncoding::Utf8;  // to write it back in
};

PaletteContent readPalette(const QByteArray& bytes);

// The file for these slots. Fails (returns false, `error` says why) only for
// a path holding a line break or another control character but the tab,
// which the reader would refuse.
bool writePalette(const std::array<QString, kSlots>& paths,
                  const std::array<int32_t, kSlots>& volumes, QByteArray& bytes, QString& error,
                  platform::TextEncoding encoding = platform::TextEncoding::Utf8);

}  // namespace tambrel::palettes
