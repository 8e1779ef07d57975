// slow_share_fs SOURCE MOUNT_POINT CONTROL_SOCKET [FUSE OPTION]...
//
// A network share without a file server, for tests: a FUSE file system that
// mirrors SOURCE at MOUNT_POINT and, on request, delays, hangs or fails the
// calls of one kind, as a share that answers slowly or hangs a call in the
// kernel does. Requests come on CONTROL_SOCKET (UNIX, stream), one line in,
// one line out: "delay <kind> <ms>", "hang <kind>", "fail <kind> <EIO...>",
// "release" (all off, held calls go on), "count <kind>". Calls are served on
// many threads, so that a held call of one kind holds no other.

#define FUSE_USE_VERSION 35
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

enum Kind { kGetAttr, kOpen, kRead, kReadDir, kWrite, kKinds };
constexpr std::array<const char*, kKinds> kKindNames = {"getattr", "open", "read", "readdir",
                                                        "write"};

struct Rule {
    std::chrono::milliseconds delay{0};
    bool hang = false;
    int fail = 0;
};

struct Share {
    std::string source;
    std::mutex lock;
    std::condition_variable changed;
    std::array<Rule, kKinds> rules{};
    std::array<long, kKinds> calls{};
    unsigned long releases = 0;
    bool stopping = false;
};
Share share;

// Set once the session runs; the signal handler ends it.
std::atomic<fuse*> session{nullptr};
// A byte here tells the control thread that the file system is stopping.
std::array<int, 2> wake{-1, -1};

// Holds a call as the rules of its kind say; 0, or the error to answer. A
// delay or a hang ends early at a release or when the file system stops.
int gate(Kind kind) {
    std::unique_lock hold(share.lock);
    ++share.calls[kind];
    const unsigned long generation = share.releases;
    const auto ended = [&] { return share.releases != generation || share.stopping; };
    const std::chrono::milliseconds delay = share.rules[kind].delay;
    if (delay.count() > 0) share.changed.wait_for(hold, delay, ended);
    if (share.rules[kind].hang) share.changed.wait(hold, ended);
    return share.rules[kind].fail;
}

std::string real(const char* path) {
    return share.source + path;
}

int failed() {
    return -errno;
}

int getattrOp(const char* path, struct stat* st, fuse_file_info* fi) {
    if (const int error = gate(kGetAttr)) return -error;
    const int result =
        fi != nullptr ? ::fstat(static_cast<int>(fi->fh), st) : ::lstat(real(path).c_str(), st);
    return result == 0 ? 0 : failed();
}

int statfsOp(const char* path, struct statvfs* st) {
    if (const int error = gate(kGetAttr)) return -error;
    return ::statvfs(real(path).c_str(), st) == 0 ? 0 : failed();
}

int readdirOp(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
              fuse_readdir_flags) {
    if (const int error = gate(kReadDir)) return -error;
    if (path == nullptr) return -ENOENT;  // removed meanwhile
    DIR* folder = ::opendir(real(path).c_str());
    if (folder == nullptr) return failed();
    while (const dirent* entry = ::readdir(folder)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    ::closedir(folder);
    return 0;
}

int openOp(const char* path, fuse_file_info* fi) {
    if (const int error = gate(kOpen)) return -error;
    const int fd = ::open(real(path).c_str(), fi->flags | O_CLOEXEC);
    if (fd < 0) return failed();
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int createOp(const char* path, mode_t mode, fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const int fd = ::open(real(path).c_str(), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return failed();
    fi->fh = static_cast<uint64_t>(fd);
    return 0;
}

int readOp(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    if (const int error = gate(kRead)) return -error;
    const ssize_t got = ::pread(static_cast<int>(fi->fh), buffer, size, offset);
    return got >= 0 ? static_cast<int>(got) : failed();
}

int writeOp(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const ssize_t put = ::pwrite(static_cast<int>(fi->fh), buffer, size, offset);
    return put >= 0 ? static_cast<int>(put) : failed();
}

int truncateOp(const char* path, off_t size, fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const int result = fi != nullptr ? ::ftruncate(static_cast<int>(fi->fh), size)
                                     : ::truncate(real(path).c_str(), size);
    return result == 0 ? 0 : failed();
}

int renameOp(const char* from, const char* to, unsigned int flags) {
    if (const int error = gate(kWrite)) return -error;
    return ::renameat2(AT_FDCWD, real(from).c_str(), AT_FDCWD, real(to).c_str(), flags) == 0
               ? 0
               : failed();
}

int unlinkOp(const char* path) {
    if (const int error = gate(kWrite)) return -error;
    return ::unlink(real(path).c_str()) == 0 ? 0 : failed();
}

int mkdirOp(const char* path, mode_t mode) {
    if (const int error = gate(kWrite)) return -error;
    return ::mkdir(real(path).c_str(), mode) == 0 ? 0 : failed();
}

int rmdirOp(const char* path) {
    if (const int error = gate(kWrite)) return -error;
    return ::rmdir(real(path).c_str()) == 0 ? 0 : failed();
}

int chmodOp(const char* path, mode_t mode, fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const int result = fi != nullptr ? ::fchmod(static_cast<int>(fi->fh), mode)
                                     : ::chmod(real(path).c_str(), mode);
    return result == 0 ? 0 : failed();
}

int utimensOp(const char* path, const timespec times[2], fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const int result = fi != nullptr
                           ? ::futimens(static_cast<int>(fi->fh), times)
                           : ::utimensat(AT_FDCWD, real(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
    return result == 0 ? 0 : failed();
}

int fsyncOp(const char*, int dataOnly, fuse_file_info* fi) {
    if (const int error = gate(kWrite)) return -error;
    const int fd = static_cast<int>(fi->fh);
    return (dataOnly != 0 ? ::fdatasync(fd) : ::fsync(fd)) == 0 ? 0 : failed();
}

int fsyncdirOp(const char* path, int, fuse_file_info*) {
    if (const int error = gate(kWrite)) return -error;
    if (path == nullptr) return -ENOENT;
    const int fd = ::open(real(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return failed();
    const int result = ::fsync(fd) == 0 ? 0 : failed();
    ::close(fd);
    return result;
}

int releaseOp(const char*, fuse_file_info* fi) {
    ::close(static_cast<int>(fi->fh));
    return 0;
}

void* initOp(fuse_conn_info*, fuse_config* config) {
    // Every call reaches the rules: the kernel keeps no page, no attribute
    // and no name of ours.
    config->direct_io = 1;
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    // Files removed while open go at once, without .fuse_hidden files in the
    // source, and their open handles still serve.
    config->hard_remove = 1;
    session.store(fuse_get_context()->fuse);
    return nullptr;
}

void destroyOp(void*) {
    session.store(nullptr);  // the session is about to go
}

void onSignal(int) {
    fuse* running = session.load();
    if (running == nullptr) _exit(1);  // not mounted yet: auto_unmount undoes any half
    fuse_exit(running);
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake[1], &byte, 1);
}

Kind kindNamed(const std::string& name) {
    for (int kind = 0; kind < kKinds; ++kind) {
        if (name == kKindNames[kind]) return static_cast<Kind>(kind);
    }
    return kKinds;
}

// An error number by its name (EIO) or its value; 0 when neither.
int errorNamed(const std::string& name) {
    int value = 0;
    const auto [end, problem] = std::from_chars(name.data(), name.data() + name.size(), value);
    if (problem == std::errc() && end == name.data() + name.size() && value > 0) return value;
    for (int error = 1; error < 256; ++error) {
        const char* known = strerrorname_np(error);
        if (known != nullptr && name == known) return error;
    }
    return 0;
}

std::string answer(const std::string& line) {
    std::istringstream words(line);
    std::string verb, kindName, value;
    words >> verb >> kindName >> value;
    std::lock_guard hold(share.lock);
    if (verb == "release") {
        share.rules = {};
        ++share.releases;
        share.changed.notify_all();
        return "ok";
    }
    const Kind kind = kindNamed(kindName);
    if (kind == kKinds) return "error unknown kind '" + kindName + "'";
    Rule& rule = share.rules[kind];
    if (verb == "count") return "ok " + std::to_string(share.calls[kind]);
    if (verb == "hang") {
        rule.hang = true;
        return "ok";
    }
    if (verb == "delay") {
        int ms = -1;
        std::from_chars(value.data(), value.data() + value.size(), ms);
        if (ms < 0) return "error delay in milliseconds expected";
        rule.delay = std::chrono::milliseconds(ms);
        return "ok";
    }
    if (verb == "fail") {
        rule.fail = errorNamed(value);
        return rule.fail != 0 ? "ok" : "error unknown error '" + value + "'";
    }
    return "error unknown request '" + verb + "'";
}

struct Client {
    int fd;
    std::string pending;
};

// Answers the control socket's clients until the file system stops, then
// lets every held call go on.
void control(int listening) {
    std::vector<Client> clients;
    for (;;) {
        std::vector<pollfd> watched = {{wake[0], POLLIN, 0}, {listening, POLLIN, 0}};
        for (const Client& client : clients) watched.push_back({client.fd, POLLIN, 0});
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) break;
        if (watched[0].revents != 0) break;
        if ((watched[1].revents & POLLIN) != 0) {
            const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) clients.push_back({fd, {}});
        }
        for (size_t i = watched.size(); i-- > 2;) {
            if (watched[i].revents == 0) continue;
            Client& client = clients[i - 2];
            char buffer[512];
            const ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
            bool keep = got > 0 || (got < 0 && errno == EAGAIN);
            if (got > 0) client.pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; keep && (end = client.pending.find('\n')) != std::string::npos;) {
                std::string line = client.pending.substr(0, end);
                client.pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                const std::string reply = answer(line) + "\n";
                keep = ::send(client.fd, reply.data(), reply.size(), MSG_NOSIGNAL) ==
                       static_cast<ssize_t>(reply.size());
            }
            if (!keep || client.pending.size() > 4096) {
                ::close(client.fd);
                clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i - 2));
            }
        }
    }
    for (const Client& client : clients) ::close(client.fd);
    std::lock_guard hold(share.lock);
    share.stopping = true;
    share.changed.notify_all();
}

int listenAt(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "slow_share_fs: control socket path too long: %s\n", path.c_str());
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        std::fprintf(stderr, "slow_share_fs: cannot listen at %s: %s\n", path.c_str(),
                     std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: slow_share_fs SOURCE MOUNT_POINT CONTROL_SOCKET [FUSE OPTION]...\n");
        return 2;
    }
    char source[PATH_MAX];
    if (::realpath(argv[1], source) == nullptr) {
        std::fprintf(stderr, "slow_share_fs: %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    share.source = source;
    ::umask(0);  // the kernel applied the caller's umask already
    const int listening = listenAt(argv[3]);
    if (listening < 0 || ::pipe2(wake.data(), O_CLOEXEC) != 0) return 1;

    // Ours, not libfuse's (which keeps a handler it finds): a signal also
    // lets the held calls go, without which the session's end would wait
    // for them forever.
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigset_t ending;
    sigemptyset(&ending);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &action, nullptr);
        sigaddset(&ending, signal);
    }
    // Signals go to the main thread, where libfuse's loop waits for them.
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &ending, &previous);
    std::thread controller(control, listening);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    // Up to 64 threads: as many calls held at once before the next ones queue.
    std::vector<std::string> args = {
        argv[0], "-f", "-o", "auto_unmount,fsname=slow_share,subtype=slow_share,max_threads=64",
        argv[2]};
    for (int i = 4; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char*> fuseArgv;
    fuseArgv.reserve(args.size() + 1);
    for (std::string& arg : args) fuseArgv.push_back(arg.data());
    fuseArgv.push_back(nullptr);

    fuse_operations operations{};
    operations.getattr = getattrOp;
    operations.statfs = statfsOp;
    operations.readdir = readdirOp;
    operations.open = openOp;
    operations.create = createOp;
    operations.read = readOp;
    operations.write = writeOp;
    operations.truncate = truncateOp;
    operations.rename = renameOp;
    operations.unlink = unlinkOp;
    operations.mkdir = mkdirOp;
    operations.rmdir = rmdirOp;
    operations.chmod = chmodOp;
    operations.utimens = utimensOp;
    operations.fsync = fsyncOp;
    operations.fsyncdir = fsyncdirOp;
    operations.release = releaseOp;
    operations.init = initOp;
    operations.destroy = destroyOp;
    const int status =
        fuse_main(static_cast<int>(fuseArgv.size()) - 1, fuseArgv.data(), &operations, nullptr);

    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(wake[1], &byte, 1);
    controller.join();
    ::close(listening);
    ::unlink(argv[3]);
    return status;
}
