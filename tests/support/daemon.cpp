#include "tests/support/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tambrel::testing {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The daemons to end when the run is interrupted; read by the signal handler.
std::array<volatile sig_atomic_t, 16> guarded{};

void endDaemonsAndDie(int signal) {
    for (auto& pid : guarded) {
        if (pid > 0) kill(static_cast<pid_t>(pid), SIGTERM);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void guard(pid_t pid) {
    static const bool installed = [] {
        struct sigaction action {};
        action.sa_handler = endDaemonsAndDie;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
        return true;
    }();
    (void)installed;
    for (auto& slot : guarded) {
        if (slot == 0) {
            slot = pid;
            return;
        }
    }
}

void unguard(pid_t pid) {
    for (auto& slot : guarded) {
        if (slot == pid) slot = 0;
    }
}

}  // namespace

pid_t startDaemon(const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    argv.reserve(copy.size() + 1);
    for (auto& arg : copy) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) {
        if (pid > 0) guard(pid);
        return pid;
    }
    // Dies with us even when we are killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int null = open("/dev/null", O_RDONLY);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(null, STDIN_FILENO);
    dup2(out >= 0 ? out : null, STDOUT_FILENO);
    dup2(out >= 0 ? out : null, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool stillRunning(pid_t& pid) {
    if (pid <= 0) return false;
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return true;
    unguard(pid);
    pid = -1;
    return false;
}

void endDaemon(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + 5s;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    unguard(pid);
    pid = -1;
}

bool awaitReady(const std::function<bool()>& ready, std::initializer_list<pid_t*> daemons) {
    const auto deadline = Clock::now() + 15s;
    while (Clock::now() < deadline) {
        for (pid_t* pid : daemons) {
            if (!stillRunning(*pid)) return false;
        }
        if (ready()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

int runToEnd(const std::vector<std::string>& args, const std::string& log,
             std::chrono::milliseconds limit) {
    pid_t pid = startDaemon(args, log);
    if (pid < 0) return -1;
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            endDaemon(pid);
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    unguard(pid);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void pauseDaemon(pid_t pid, std::chrono::milliseconds time) {
    if (pid <= 0) return;
    kill(pid, SIGSTOP);
    std::this_thread::sleep_for(time);
    kill(pid, SIGCONT);
}

std::string tailOf(const std::string& path, size_t bytes) {
    std::ifstream log(path);
    std::stringstream text;
    text << log.rdbuf();
    const std::string all = text.str();
    return all.size() > bytes ? all.substr(all.size() - bytes) : all;
}

}  // namespace tambrel::testing
