// The serial line on a real pseudo-terminal: speeds, raw settings and their
// restoration, single-byte reads and writes, the write time-out, and waits
// that must sleep rather than spin.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "irkb101.h"
#include "next_second.h"
#include "pty.h"
#include "tty.h"

namespace {

TEST(Speed, SupportedRatesMapSilentlyAndAnythingElseFallsBackTo9600)
{
    const std::pair<int, speed_t> supported[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    for (auto [bps, constant] : supported) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(speed(bps), constant) << bps;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << bps;
    }
    for (int bps : {0, 600, 300, 9601, -1, 230400, INT_MAX}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(speed(bps), B9600) << bps;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::to_string(bps) + " bps unavailable.  9600 bps selected.\n");
    }
}

class SerialLine : public testing::Test {
protected:
    sim::pseudo_terminal port;
    int open_port() { return opentty(port.port_path().c_str()); }
};

// The waits of the time limits are cut where time() moves on. When time()
// lags the fine clock (at the turn of a second, by a tick), the second it
// names is already over on the fine clock: the wait must still be a real
// one, or the retries would poll without sleeping until time() catches up.
TEST(SecondBoundary, AWaitIsNeverZeroAndNeverMoreThanASecond)
{
    const time_t now = time(nullptr);
    for (time_t past : {now - 1, now - 5, time_t{0}})
        EXPECT_EQ(ms_until_next_second(past), 1) << now - past << " s behind";
    const int ahead = ms_until_next_second(now + 5);
    EXPECT_EQ(ahead, 1000);
    const int current = ms_until_next_second(now);
    EXPECT_TRUE(current >= 1 && current <= 1000) << current;
}

TEST_F(SerialLine, InitAppliesRawModeAndCloseRestoresExactly)
{
    // Start from settings a terminal would have, not from raw ones.
    termios cooked = port.settings();
    cooked.c_iflag = ICRNL | IXON;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ICANON | ECHO | ISIG;
    cooked.c_cc[VINTR] = 3;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    int probe = open(port.port_path().c_str(), O_RDWR | O_NOCTTY);
    // A failed assertion here leaves the probe open in a run that has failed.
    // cppcheck-suppress resourceLeak
    ASSERT_GE(probe, 0);
    // cppcheck-suppress resourceLeak
    ASSERT_EQ(tcsetattr(probe, TCSANOW, &cooked), 0);
    termios before{};
    tcgetattr(probe, &before);

    int fd = open_port();
    ttyinit(fd, 4800);
    termios raw = port.settings();
    EXPECT_EQ(raw.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(raw.c_oflag, 0u);
    EXPECT_EQ(raw.c_cflag & ~static_cast<tcflag_t>(CBAUD), static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(raw.c_lflag, 0u);
    EXPECT_EQ(cfgetispeed(&raw), B4800);
    EXPECT_EQ(cfgetospeed(&raw), B4800);
    for (int i = 0; i < NCCS; ++i) {
        if (i == VMIN || i == VTIME)
            continue;
        EXPECT_EQ(raw.c_cc[i], 0) << "control character " << i;
    }
    EXPECT_EQ(raw.c_cc[VMIN], 1);
    EXPECT_EQ(raw.c_cc[VTIME], 5);

    EXPECT_EQ(closetty(fd), 0);
    termios after{};
    tcgetattr(probe, &after);
    EXPECT_TRUE(sim::same_settings(before, after));
    close(probe);
}

TEST_F(SerialLine, PendingBytesComeOneByOneThenMinusOneAtOnce)
{
    int fd = open_port();
    ttyinit(fd, 9600);
    const unsigned char sent[] = {0x41, 0x00, 0xFF, 0x80};
    ASSERT_EQ(write(port.master(), sent, sizeof sent), 4);
    ASSERT_TRUE(port.wait_drained(std::chrono::steady_clock::now()) || port.pending_for_relay() == 4);

    for (unsigned char expected : sent)
        EXPECT_EQ(ttygetc(fd), expected);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ttygetc(fd), -1);
    EXPECT_EQ(ttygetc(fd), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    closetty(fd);
}

TEST_F(SerialLine, PutReturnsTheByteAsUnsigned)
{
    int fd = open_port();
    ttyinit(fd, 9600);
    EXPECT_EQ(ttyputc(fd, 0xFF), 0xFF);
    EXPECT_EQ(ttyputc(fd, 0x00), 0x00);
    EXPECT_EQ(ttyputc(fd, -2), 0xFE);
    // The pseudo-terminal hands written bytes to the master side in its own
    // time, so one read may see only some of them.
    uint8_t got[3];
    size_t have = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (have < 3 && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{port.master(), POLLIN, 0};
        poll(&pfd, 1, 100);
        have += port.read_available(got + have, 3 - have);
    }
    ASSERT_EQ(have, 3u);
    EXPECT_EQ(got[0], 0xFF);
    EXPECT_EQ(got[1], 0x00);
    EXPECT_EQ(got[2], 0xFE);
    closetty(fd);
}

double thread_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Two ports that never take a byte, tried at once: a full pipe, as a line
// whose output never drains (a pseudo-terminal's room varies with the
// machine's load), and a hung-up pseudo-terminal, whose writes fail at once
// and which polls ready for ever. Started just after time() has ticked, each
// must give up once 16 whole seconds of time() have passed, just after 16 s,
// having slept rather than spun, and say so once each.
TEST_F(SerialLine, PutGivesUpAfterSixteenSecondsOfTimeWithoutSpinning)
{
    int full[2];
    ASSERT_EQ(pipe2(full, O_NONBLOCK), 0);
    const unsigned char fill[4096] = {};
    while (write(full[1], fill, sizeof fill) > 0) {
    }
    while (write(full[1], fill, 1) > 0) {
    }
    int hung = open_port();
    ttyinit(hung, 9600);
    port.hang_up();

    wait_for_the_next_second();
    testing::internal::CaptureStderr();
    auto timed_put = [](int fd) {
        const auto start = std::chrono::steady_clock::now();
        const double cpu = thread_cpu_seconds();
        EXPECT_EQ(ttyputc(fd, 'x'), -1);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("ttyputc gave up after %.2f s, %.4f s of processor time\n", wall,
                    thread_cpu_seconds() - cpu);
        EXPECT_GE(wall, 15.5);
        EXPECT_LE(wall, 16.5);
        EXPECT_LT(thread_cpu_seconds() - cpu, 0.25) << "processor time spent waiting for the port";
    };
    std::thread on_pipe(timed_put, full[1]);
    timed_put(hung);
    on_pipe.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ttyputc(): timeout\nttyputc(): timeout\n");
    close(full[0]);
    close(full[1]);
    closetty(hung);
}

// The IrKB101 handshake on a line that polls ready for ever with nothing to
// read, as a keyboard's far end that stopped sending looks (no terminal can
// stand in for it): the wait for an answer must still sleep.
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

TEST_F(SerialLine, DescriptorZeroIsASuccessfulOpen)
{
    // With standard input closed the port gets descriptor 0.
    int saved_stdin = dup(0);
    close(0);
    int fd = opentty(port.port_path().c_str());
    dup2(saved_stdin, 0);
    close(saved_stdin);
    EXPECT_EQ(fd, 0);
}

TEST(SerialLineDeathTest, ThePortNeverBecomesTheControllingTerminal)
{
    // A relay started as a session leader (from a daemon, say) must not
    // acquire the keyboard port as its terminal, or a hang-up there would
    // end it with SIGHUP before it could restore the port.
    sim::pseudo_terminal port;
    auto open_as_session_leader = [&] {
        setsid();
        opentty(port.port_path().c_str());
        const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY);
        std::exit(terminal < 0 ? 0 : 3);
    };
    EXPECT_EXIT(open_as_session_leader(), testing::ExitedWithCode(0), "");
}

TEST(SerialLineDeathTest, OpeningAMissingPortEndsTheProcess)
{
    EXPECT_EXIT(opentty("/nonexistent/ttyS9"), testing::ExitedWithCode(1),
                "^can't open /nonexistent/ttyS9\n$");
}

} // namespace
