#pragma once

// What keeps the machine busy during a loaded run, as a studio computer is
// on air: threads of this process that hold cores and memory bandwidth, and
// the palette itself churning 28 voices in another process through the same
// sound server, so that the server's thread relays their requests too.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace tambrel::bench {

// Busy until destroyed. Even threads compute in registers; odd ones copy
// and sum buffers far larger than any cache, so that every core waits
// longer for memory.
class BusyThreads {
  public:
    explicit BusyThreads(int count);
    ~BusyThreads();
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

    int arithmetic() const { return (count_ + 1) / 2; }
    int memory() const { return count_ / 2; }

  private:
    void compute();
    void stream();

    int count_;
    std::atomic<bool> quit_{false};
    std::vector<std::thread> threads_;
};

// stress_bench in a process of its own, playing through the server at
// `server` into its sinks Studio and Cue, its files in `folder` and what it
// prints in `folder`/churn.log. Ended when destroyed, and by the system
// should this process die first.
class ChurnChild {
  public:
    ChurnChild(const std::string& program, const std::string& server, const std::string& folder);
    ~ChurnChild();
    ChurnChild(const ChurnChild&) = delete;
    ChurnChild& operator=(const ChurnChild&) = delete;

    // True once it plays on `sink`; false when it ended or took too long.
    bool waitUntilPlaying(const std::string& sink, std::chrono::seconds limit);
    // Ends it. Empty when it was still running; otherwise how it had ended
    // and the end of what it printed.
    std::string stop();

  private:
    std::string log_;
    pid_t pid_ = -1;
};

// Where a program built beside this one is.
std::string besideThisProgram(const std::string& name);

}  // namespace tambrel::bench
