#pragma once

// "Options.ini" beside the executable: the choices the program offers
// beyond Tambrel.ini, which keeps its own format for the Windows program.
// One "key=value" a line; a line that cannot be understood is named in
// `bad` and skipped, the rest applies.

#include <QByteArray>
#include <QString>
#include <vector>

namespace tambrel::app {

struct Options {
    QString preListen;     // the pre-listen device as the output list names it; empty: none
    int fadeMs = 2000;     // Maj with a letter or a click fades a sounding slot over this
    int warnSeconds = 5;   // the remaining time blinks over a slot's last seconds
    bool bigKeys = false;  // "Grandes touches": the layout scaled to the window
    bool volumes = false;  // the volume read-out shown ("Option › Volume")
    // Where palettes are listed, loaded, saved and deleted: a folder several
    // studios share, as a native or system path; empty: the program's folder.
    QString paletteFolder;
    // "Verrouiller les touches": on air, nothing changes what the slots hold.
    bool locked = false;
    bool paletteKeys = true;  // F1 to F12 load the list's first twelve palettes
    bool clock = false;       // "Horloge": the time of day and the on-air countdown
    // Lines (0 to 6) whose slots stop each other, as a bit each.
    unsigned exclusiveLines = 0;
    // "Normaliser la sonie": each slot plays at the target loudness, in LUFS.
    bool normalise = false;
    double targetLufs = -23.0;
    bool operator==(const Options&) const = default;
};

Options readOptions(const QByteArray& bytes, std::vector<QString>& bad);
QByteArray writeOptions(const Options& options);

}  // namespace tambrel::app
