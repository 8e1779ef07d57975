// Fuzzes the reader of the drive mapping file with arbitrary bytes: no crash,
// no hang, every line either used or reported once, and whatever was read
// still sends a drive path under an absolute folder.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/drive_mapping.h"
#include "tests/fuzz/require.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tambrel::platform;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    DriveMapping drives(QStringLiteral("/opt/tambrel/"));
    const auto bad = drives.read(bytes);
    int last = 0;
    for (const auto& line : bad) {
        require(line.number > last);  // in file order, each once
        last = line.number;
    }
    for (const char* path :
         {"C:\\Jingles\\Intro.mp3", "c:", "\\\\STUDIO\\Pubs\\a.wav", "Z:/x/../y.wav"}) {
        const QString native = drives.toNative(QString::fromLatin1(path));
        if (path[1] == ':') require(native.startsWith(u'/'));
    }
    return 0;
}
