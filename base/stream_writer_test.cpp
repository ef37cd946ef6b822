#include "base/stream_writer.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace vesk {
namespace {

using namespace std::chrono_literals;

TEST(StreamWriter, AFullNonBlockingPipeIsWaitedOnAndNothingIsLost) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    std::string want;
    for (int i = 0; i < 4000; ++i) want += std::to_string(i) + std::string(100, 'x') + '\n';
    std::string got;
    std::thread reader([&] {
        // The writer meets a full pipe long before this.
        std::this_thread::sleep_for(200ms);
        char buf[4096];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    });
    {
        StreamWriter out(fds[1]);
        size_t pos = 0;
        while (pos < want.size()) {
            size_t end = want.find('\n', pos) + 1;
            ASSERT_TRUE(out.write(std::string_view(want).substr(pos, end - pos)));
            pos = end;
        }
        // Larger than the pipe, so it goes in several parts.
        ASSERT_TRUE(out.write(want));
        EXPECT_EQ(out.error(), 0);
    }
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(got, want + want);
}

TEST(StreamWriter, TheFirstFailureEndsTheStreamAndIsKept) {
    signal(SIGPIPE, SIG_IGN);
    int broken[2];
    ASSERT_EQ(pipe2(broken, O_CLOEXEC), 0);
    close(broken[0]);
    struct Case {
        const char* name;
        int fd;
        int error;
    };
    const Case cases[] = {
        {"full device", open("/dev/full", O_WRONLY | O_CLOEXEC), ENOSPC},
        {"pipe without reader", broken[1], EPIPE},
        {"opened for reading", open("/dev/null", O_RDONLY | O_CLOEXEC), EBADF},
        {"no descriptor", -1, EBADF},
    };
    for (const Case& c : cases) {
        StreamWriter out(c.fd);
        EXPECT_FALSE(out.write("one\n")) << c.name;
        EXPECT_EQ(out.error(), c.error) << c.name;
        EXPECT_FALSE(out.write("two\n")) << c.name;
        EXPECT_EQ(out.error(), c.error) << c.name;
        if (c.fd >= 0) close(c.fd);
    }
}

}  // namespace
}  // namespace vesk
