// The handshake on a line that polls ready for ever with nothing to read, as
// a keyboard's far end that stopped sending looks: the wait for an answer
// must still sleep. (The handshake's answers and timings are tested end to
// end, against the virtual keyboards.)
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sys/socket.h>
#include <unistd.h>

#include "irkb101.h"

namespace {

double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(Handshake, PortThatPollsReadyWithNothingToReadDoesNotSpin)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    ASSERT_EQ(shutdown(ends[1], SHUT_WR), 0);
    const double cpu0 = thread_cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    testing::internal::CaptureStderr();
    const int result = init_irkb101(ends[0]);
    const std::string messages = testing::internal::GetCapturedStderr();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = thread_cpu_seconds() - cpu0;
    close(ends[0]);
    close(ends[1]);
    std::printf("handshake at end of file: wall %.3f s, CPU %.4f s\n", wall, cpu);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(messages, "sending init string #0\nsending init string #0\n");
    EXPECT_GE(wall, 5.0);
    EXPECT_LT(cpu, 0.05 * wall);
}

} // namespace
