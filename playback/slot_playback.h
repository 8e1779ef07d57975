#pragma once

// Slot playback: a press on a slot button assigns a file to an empty slot,
// starts a silent one and stops a playing one (F1a::Touche_Click); the
// player's stop event puts the slot's display back to rest
// (F1a::Player_OnStop). The helpers below shape what the slots show.

#include <QString>
#include <cstdint>

namespace tambrel::playback {

// A player's state code while it sounds.
inline constexpr int32_t kPlaying = 6;
// A loop marker's background colour is the slot's loop flag.
inline constexpr int32_t kLoopOn = 65535;      // yellow
inline constexpr int32_t kLoopOff = 12632256;  // light grey; any colour but yellow is off
// An information label at rest.
inline constexpr int32_t kInfoTrackColor = 12640511;
inline constexpr char kInfoTrackTip[] = " Double click pour supprimer ";

// Milliseconds as "mm:ss" (minutes of 100 and more keep their last two
// digits), or "--:--" for anything under one second.
QString FTime(int32_t ms);

// The name shown on a slot's button: the text after the last "\" without
// its last four characters (the extension); empty when there is no "\".
// A name of fewer than four characters after the "\" is shown whole.
QString NomCourt(const QString& path);

// The line (0 to 6) of a slot; 0 for anything outside 0 to 27.
int16_t QuelleLigne(int16_t Valeur);

}  // namespace tambrel::playback
