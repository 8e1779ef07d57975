#pragma once

// The heap's arenas. glibc gives threads that allocate arenas of their own,
// up to eight per core, and keeps what was freed in each: with the loader's
// threads decoding palette after palette, the program held 17 MB more after
// five minutes of palette loads than after one, and 45 MB more in all than
// with two arenas. Two keep it flat; the audio thread never allocates, so no
// sound waits on another thread for memory.

namespace tambrel::platform {

void limitHeapArenas();

}  // namespace tambrel::platform
