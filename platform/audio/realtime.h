#pragma once

namespace tambrel::audio {

// Called by a device thread at each period: at the first call on a thread,
// asks for real-time scheduling where the system allows it (root, or a
// studio's rtprio limit), so that a busy machine does not wake the thread
// late and leave a gap. One system call, no lock, no allocation; where it is
// refused the thread runs as before.
void raiseToRealtime();

}  // namespace tambrel::audio
