#pragma once

// Slot playback: a press on a slot button assigns a file to an empty slot,
// starts a silent one and stops a playing one (F1a::Touche_Click); the
// player's stop event puts the slot's display back to rest
// (F1a::Player_OnStop). The constants below shape what the slots show.

#include <cstdint>

#include "playback/mm_audio_player.h"
#include "playback/slot_text.h"

namespace tambrel::playback {

// A player's state code while it sounds.
inline constexpr int32_t kPlaying = MMAudioPlayerX::kStatePlaying;
// A loop marker's background colour is the slot's loop flag.
inline constexpr int32_t kLoopOn = 65535;      // yellow
inline constexpr int32_t kLoopOff = 12632256;  // light grey; any colour but yellow is off
// An information label at rest.
inline constexpr int32_t kInfoTrackColor = 12640511;
inline constexpr char kInfoTrackTip[] = " Double click pour supprimer ";

}  // namespace tambrel::playback
