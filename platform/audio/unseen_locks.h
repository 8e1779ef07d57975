#pragma once

// The sound servers' client libraries are not built with ThreadSanitizer,
// whose analysis leaves their calls out, locks included. An adapter tells it
// where our code takes and leaves such a library's lock (one token stands
// for all of a library's locks), so that what our code shares with the
// library's threads is still checked. Outside ThreadSanitizer builds these
// are nothing.

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace tambrel::audio {

class UnseenLock {
  public:
#if defined(__SANITIZE_THREAD__)
    void taken() {
        __tsan_acquire(&token_);
    }
    void left() {
        __tsan_release(&token_);
    }

  private:
    char token_ = 0;
#else
    void taken() {}
    void left() {}
#endif
};

// Opens every callback the library calls with its lock held.
class HeldBy {
  public:
    explicit HeldBy(UnseenLock& lock) : lock_(lock) { lock_.taken(); }
    ~HeldBy() { lock_.left(); }
    HeldBy(const HeldBy&) = delete;
    HeldBy& operator=(const HeldBy&) = delete;

  private:
    UnseenLock& lock_;
};

}  // namespace tambrel::audio
