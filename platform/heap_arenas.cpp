#include "platform/heap_arenas.h"

#include <malloc.h>

namespace tambrel::platform {

void limitHeapArenas() {
    mallopt(M_ARENA_MAX, 2);
}

}  // namespace tambrel::platform
