#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>

// Stands in for a full disk: while it lives, no file of this process may
// grow beyond `bytes` (writes past it fail with EFBIG instead of raising
// SIGXFSZ). Restores the previous limit and signal handling afterwards.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
        if (::getrlimit(RLIMIT_FSIZE, &previous_) != 0) std::abort();
        rlimit limited = previous_;
        limited.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &limited) != 0) std::abort();
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, previousHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    rlimit previous_{};
    void (*previousHandler_)(int) = nullptr;
};
