#pragma once

// The window system's key events in the numbering the key handlers speak:
// the typed character's code in the 8-bit character set, the Windows
// virtual-key code of the key, and the modifier mask (1 Shift, 2 Ctrl,
// 4 Alt, added together).

#include <cstdint>

#include "platform/controls.h"

class QKeyEvent;

namespace tambrel::input {

using platform::kAltMask;
using platform::kCtrlMask;
using platform::kShiftMask;

struct KeyCodes {
    int16_t keyCode = 0;   // virtual-key code; 0 for a key with no code
    int16_t shift = 0;     // modifier mask at the time of the event
    int16_t keyAscii = 0;  // typed character; 0 when the key types none
};

// One mapping for key-down, key-up and character events alike.
KeyCodes mapKey(const QKeyEvent& event);

}  // namespace tambrel::input
