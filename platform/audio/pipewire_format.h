#pragma once

// The one format this program's PipeWire streams offer: interleaved float
// stereo at a given rate, built into `space` for pw_stream_connect().

#include <spa/param/audio/format-utils.h>

#include <cstddef>
#include <cstdint>

namespace tambrel::audio {

template <std::size_t Size>
const spa_pod* stereoFloatFormat(uint8_t (&space)[Size], int rate) {
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, space, Size);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_F32;
    format.rate = static_cast<uint32_t>(rate);
    format.channels = 2;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format);
}

}  // namespace tambrel::audio
