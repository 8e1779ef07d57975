#include "platform/audio/realtime.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>

namespace tambrel::audio {
namespace {
constexpr int kRealtimePriority = 3;  // below the sound server's own threads (5)
}

void raiseToRealtime() {
    thread_local bool raised = false;
    if (raised) return;
    raised = true;
    sched_param param{};
    param.sched_priority = std::min(kRealtimePriority, sched_get_priority_max(SCHED_FIFO));
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace tambrel::audio
