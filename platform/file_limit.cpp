#include "platform/file_limit.h"

#include <sys/resource.h>

namespace tambrel::platform {

bool raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur == limit.rlim_max) return true;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool inFileReserve(int fd) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return true;
    return limit.rlim_cur != RLIM_INFINITY &&
           static_cast<rlim_t>(fd) + static_cast<rlim_t>(kFileReserve) >= limit.rlim_cur;
}

}  // namespace tambrel::platform
