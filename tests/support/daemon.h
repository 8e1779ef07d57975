#pragma once

// Daemons of a test's own (sound servers, a file share), run as children
// that end with the test, even when it is interrupted or killed outright.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace tambrel::testing {

// Starts `args` (found on PATH) with its output in `log`; -1 when it could
// not be forked.
pid_t startDaemon(const std::vector<std::string>& args, const std::string& log);
// False once the child has ended (it is then reaped, and `pid` set to -1).
bool stillRunning(pid_t& pid);
// Ends the child: SIGTERM, then SIGKILL after five seconds. Safe on -1.
void endDaemon(pid_t& pid);
// Waits up to fifteen seconds for `ready`; false at once when one of
// `daemons` has ended.
bool awaitReady(const std::function<bool()>& ready, std::initializer_list<pid_t*> daemons);
// Runs `args` (found on PATH) to its end, with its output in `log`: its exit
// status, or -1 when it could not start or was still running after `limit`
// (it is then ended).
int runToEnd(const std::vector<std::string>& args, const std::string& log,
             std::chrono::milliseconds limit);
// Holds the child still for `time`, as a machine too busy to run it would.
void pauseDaemon(pid_t pid, std::chrono::milliseconds time);
// The last `bytes` of a log file, for a failure message.
std::string tailOf(const std::string& path, size_t bytes = 2000);

}  // namespace tambrel::testing
