#pragma once

// The texts a slot shows, from its file's path and length.

#include <QString>
#include <cstdint>
#include <optional>

#include "platform/audio/loudness.h"

namespace tambrel::playback {

// Milliseconds as "mm:ss" (minutes of 100 and more keep their last two
// digits), or "--:--" for anything under one second.
QString FTime(int32_t ms);

// The name shown on a slot's button: the text after the last "\" or "/"
// (after the last "/" in a Linux path, which begins with it), without its
// extension; empty when there is no separator. A name without an extension
// ("a.b.wav" has "wav") is shown whole.
QString NomCourt(const QString& path);

// A file's loudness as a slot's tool tip gives it, the French way:
// "−18,4 LUFS · crête −0,6 dBTP", then " · +2,1 dB" with the gain a press
// gives it while normalising; "trop court" or "silencieux" for a file the
// measure cannot judge.
QString loudnessText(const audio::Loudness& loudness, std::optional<double> gainDb);

// The line (0 to 6) of a slot; 0 for anything outside 0 to 27.
int16_t QuelleLigne(int16_t Valeur);

}  // namespace tambrel::playback
