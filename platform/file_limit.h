#pragma once

// The process's open files. The desktop starts programs with a soft limit
// (often 1,024) far below the hard one; the window's display connection,
// the audio and the as-run log must never meet "too many open files" because
// pages hold connections. The program raises the soft limit to the hard one
// at start, and the web port takes no handle within kFileReserve of it.

namespace tambrel::platform {

inline constexpr int kFileReserve = 128;

// The soft limit raised to the hard one; false when the system refused.
bool raiseFileLimit();

// Whether the handle `fd` lies within the reserve below the soft limit.
bool inFileReserve(int fd);

}  // namespace tambrel::platform
