#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/latency/candidates.h"

extern char** environ;

namespace tambrel::bench {
namespace {

using namespace std::chrono_literals;

pid_t spawnPaplay(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program = "paplay";
    std::string file = path;
    char* argv[] = {program.data(), file.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "paplay", &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

std::vector<Record> runPaplay(TrialRunner& runner, const std::vector<Clip>& clips, int trials) {
    std::vector<Record> records;
    for (int i = 0; i < trials; ++i) {
        const int clip = i % static_cast<int>(clips.size());
        pid_t pid = -1;
        bool reaped = false;
        auto exited = [&pid, &reaped] {
            int status = 0;
            if (!reaped && pid > 0 && waitpid(pid, &status, WNOHANG) == pid) reaped = true;
            return reaped || pid <= 0;
        };
        Record record{"paplay", "new process", clip, {}};
        record.outcome = runner.run(
            clips[static_cast<size_t>(clip)],
            [&] { pid = spawnPaplay(clips[static_cast<size_t>(clip)].path); }, exited);
        if (!exited()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        records.push_back(record);
    }
    return records;
}

}  // namespace tambrel::bench
