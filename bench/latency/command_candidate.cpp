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

pid_t spawnPlayer(const std::string& command, const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string program = command;
    std::string file = path;
    char* argv[] = {program.data(), file.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

std::vector<Record> runCommand(TrialRunner& runner, const std::vector<Clip>& clips, int trials,
                               const std::string& command) {
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
        Record record{command, kNewProcess, clip, {}};
        record.outcome = runner.run(
            clips[static_cast<size_t>(clip)],
            [&] { pid = spawnPlayer(command, clips[static_cast<size_t>(clip)].path); }, exited);
        if (!exited()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        records.push_back(record);
    }
    return records;
}

}  // namespace tambrel::bench
