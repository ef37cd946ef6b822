#include "base/stream_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace vesk {

namespace {

// False when the descriptor cannot be waited on.
bool wait_writable(int fd) {
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;  // an error or hang-up shows at the next write
        if (errno != EINTR) return false;
    }
}

// A descriptor that is closed keeps its number taken by /dev/null: a file
// opened later would otherwise get the number and receive the output. The
// writer is handed -1, which fails as the closed descriptor would.
int claim_if_closed(int fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return fd;
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0 && null != fd) {
        ::dup2(null, fd);
        ::close(null);
    }
    return -1;
}

}  // namespace

bool StreamWriter::write(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (error_.load() != 0) return false;
    while (!text.empty()) {
        ssize_t n = ::write(fd_, text.data(), text.size());
        if (n > 0) {
            text.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        int e = n < 0 ? errno : EIO;
        if (e == EINTR) continue;
        // A full pipe in non-blocking mode is not a broken one.
        if ((e == EAGAIN || e == EWOULDBLOCK) && wait_writable(fd_)) continue;
        error_.store(e);
        return false;
    }
    return true;
}

void StreamWriter::hold() { mutex_.lock(); }

StreamWriter& standard_output() {
    static StreamWriter out(claim_if_closed(STDOUT_FILENO));
    return out;
}

StreamWriter& standard_error() {
    static StreamWriter err(STDERR_FILENO);
    return err;
}

}  // namespace vesk
