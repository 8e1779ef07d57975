#include "bench/latency/load.h"

#include "tests/support/pulse_server.h"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tambrel::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr size_t kStreamBytes = size_t{64} << 20;
constexpr auto kChurnSeconds = "7200";  // longer than any run: it is ended, not left to finish

// Results the compiler must not drop as unused.
std::atomic<uint64_t> kept{0};

// Streams playing on the sink called `sink`; -1 when the server did not say.
int streamsOn(const std::string& sink) {
    struct Job {
        std::string name;
        uint32_t sink = PA_INVALID_INDEX;
        int streams = 0;
        bool done = false;

        static void found(pa_context* context, const pa_sink_info* info, int eol, void* data) {
            auto* job = static_cast<Job*>(data);
            if (eol == 0 && info != nullptr) {
                job->sink = info->index;
                return;
            }
            if (job->sink == PA_INVALID_INDEX) {
                job->done = true;  // no such sink: nothing plays on it
                return;
            }
            pa_operation_unref(pa_context_get_sink_input_info_list(context, &Job::count, job));
        }
        static void count(pa_context*, const pa_sink_input_info* info, int eol, void* data) {
            auto* job = static_cast<Job*>(data);
            if (eol != 0 || info == nullptr) {
                job->done = true;
            } else if (info->sink == job->sink) {
                ++job->streams;
            }
        }
    } job{sink};
    const bool answered = testing::withServer(
        [&](pa_context* context) {
            pa_operation_unref(
                pa_context_get_sink_info_by_name(context, job.name.c_str(), &Job::found, &job));
        },
        [&] { return job.done; });
    return answered ? job.streams : -1;
}

}  // namespace

BusyThreads::BusyThreads(int count) : count_(count) {
    for (int i = 0; i < count; ++i) {
        threads_.emplace_back([this, i] {
            // A loaded machine's ordinary work: no lower priority than ours.
            setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 0);
            if (i % 2 == 0) {
                compute();
            } else {
                stream();
            }
        });
    }
}

BusyThreads::~BusyThreads() {
    quit_ = true;
    for (auto& thread : threads_) thread.join();
}

void BusyThreads::compute() {
    uint64_t x = 88172645463325252ull;
    while (!quit_.load(std::memory_order_relaxed)) {
        for (int i = 0; i < 1'000'000; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            x = x * 6364136223846793005ull + 1442695040888963407ull;
        }
    }
    kept += x;
}

void BusyThreads::stream() {
    constexpr size_t kWords = kStreamBytes / sizeof(uint64_t);
    std::vector<uint64_t> from(kWords, 1);  // written, so every page is really there
    std::vector<uint64_t> to(kWords, 2);
    uint64_t sum = 0;
    while (!quit_.load(std::memory_order_relaxed)) {
        std::memcpy(to.data(), from.data(), kStreamBytes);
        for (const uint64_t word : to) sum += word;
        from.swap(to);
        from[sum % kWords] = sum;
    }
    kept += sum;
}

ChurnChild::ChurnChild(const std::string& program, const std::string& server,
                       const std::string& folder)
    : log_(folder + "/churn.log") {
    if (access(program.c_str(), X_OK) != 0) {
        throw std::runtime_error("no " + program +
                                 " to load the sound server (build stress_bench)");
    }
    std::vector<std::string> args = {program, "--output",  "pulse",      "--server",
                                     server,  "--seconds", kChurnSeconds};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "TMPDIR=", 7) != 0) environment.emplace_back(*entry);
    }
    // Its files, ten-minute WAVs among them, go where ours are removed.
    environment.push_back("TMPDIR=" + folder);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) throw std::runtime_error("cannot write " + log_);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // Only what is safe between fork and exec in a threaded program.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        dup2(log, STDOUT_FILENO);
        dup2(log, STDERR_FILENO);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(log);
    if (pid_ < 0) throw std::runtime_error("cannot fork for " + program);
}

ChurnChild::~ChurnChild() {
    stop();
}

bool ChurnChild::waitUntilPlaying(const std::string& sink, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        if (pid_ <= 0) return false;
        siginfo_t ended{};
        // Not reaped here: stop() tells how it ended.
        if (waitid(P_PID, static_cast<id_t>(pid_), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
            ended.si_pid != 0) {
            return false;
        }
        if (streamsOn(sink) > 0) return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

std::string ChurnChild::stop() {
    if (pid_ <= 0) return {};
    int status = 0;
    std::string ended;
    const pid_t early = waitpid(pid_, &status, WNOHANG);
    if (early == 0) {
        kill(pid_, SIGTERM);
        const auto deadline = Clock::now() + 5s;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
    } else if (early == pid_) {
        ended = WIFEXITED(status) ? "exited with status " + std::to_string(WEXITSTATUS(status))
                                  : "killed by signal " + std::to_string(WTERMSIG(status));
        std::ifstream log(log_);
        std::stringstream text;
        text << log.rdbuf();
        const std::string all = text.str();
        ended += ": " + (all.size() > 600 ? all.substr(all.size() - 600) : all);
    }
    pid_ = -1;
    return ended;
}

std::string besideThisProgram(const std::string& name) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return name;
    return (self.parent_path() / name).string();
}

}  // namespace tambrel::bench
