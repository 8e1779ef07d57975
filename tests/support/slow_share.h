#pragma once

// A network share that answers slowly, hangs or fails a call on request,
// without a file server: the program slow_share_fs (FUSE) mirrors a source
// folder at a mount point, and this rig starts it, steers it and unmounts it.
// The kernel keeps nothing of it (direct I/O, no attribute or name cache):
// every stat, lookup, open, read, listing and write reaches its rules.
//
// The program takes its orders on a UNIX socket, one line in, one line out
// ("ok", "ok <number>" or "error <why>"), from Python as well:
//   delay <kind> <ms>    each call of that kind first waits so long
//   hang <kind>          each call of that kind waits for the next release
//   fail <kind> <error>  each call of that kind fails: EIO, ENOTCONN... or a number
//   release              every rule off; the held calls go on
//   count <kind>         the calls of that kind seen so far
// Kinds: getattr (stat, lookup, statfs), open, read, readdir, and write
// (create, write, truncate, rename, unlink, mkdir, rmdir, fsync, chmod,
// utimens). Closing a file is never held. The kernel's own locks hold as on
// a real share: while a create, rename or unlink is held, lookups in its
// folder (and paths through it) wait too. A held call ignores signals, even
// SIGKILL, as on a hard-mounted share: make held calls on another thread
// than the one that made the share, so that a test killed meanwhile still
// ends the program (its parent-death signal), which lets the call go.

#include <sys/types.h>

#include <chrono>
#include <string>

#include "tests/support/test_audio.h"

namespace tambrel::testing {

class SlowShare {
  public:
    enum class Call { GetAttr, Open, Read, ReadDir, Write };

    // Mounts `source` at `mountPoint` (an empty folder) and waits, at most
    // fifteen seconds, until the mount and its control socket answer.
    SlowShare(const std::string& source, const std::string& mountPoint);
    // Lets the held calls go, unmounts (lazily when the mount is busy) and
    // ends the program, within seconds whatever state it is in.
    ~SlowShare();
    SlowShare(const SlowShare&) = delete;
    SlowShare& operator=(const SlowShare&) = delete;

    // What the destructor does, now: the share goes away, as a server that
    // stops answering for good; a call it still held fails (ENOTCONN).
    void stop();

    bool ok() const { return problem_.empty(); }
    // Why the share is not there: no /dev/fuse, fusermount3 missing, the
    // program's own words.
    std::string problem() const { return problem_; }

    // False when the program did not take the order. Each order answers
    // within a second, whatever the calls on the mount are doing.
    bool delay(Call call, std::chrono::milliseconds time);
    bool hang(Call call);
    bool fail(Call call, int error);
    bool release();
    // -1 when the program does not answer.
    int calls(Call call) const;
    // The program's answer to a line of the control socket; empty when none.
    std::string command(const std::string& line) const;

    const std::string& controlSocket() const { return socket_; }

  private:
    std::string mountPoint_;
    TempDir work_;
    std::string socket_;
    std::string log_;
    std::string problem_;
    pid_t pid_ = -1;
};

}  // namespace tambrel::testing
