// The serial line on a real pseudo-terminal: speeds, raw settings and their
// restoration, single-byte reads and writes, and the write time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "pty.h"
#include "tty.h"

namespace {

double cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

TEST(Speed, SupportedRatesMapSilently)
{
    const std::pair<int, speed_t> table[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    testing::internal::CaptureStderr();
    for (auto [bps, constant] : table)
        EXPECT_EQ(speed(bps), constant) << bps;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Speed, AnythingElseFallsBackTo9600WithAMessage)
{
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
    ASSERT_TRUE(port.wait_drained(sim::clock::now()) || port.pending_for_relay() == 4);

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

// A port whose keyboard never takes anything: writes fail for 16 seconds.
// The wait must sleep, not spin, and the message comes once.
void expect_put_times_out(int fd)
{
    auto wall_start = std::chrono::steady_clock::now();
    double cpu_start = cpu_seconds();
    testing::internal::CaptureStderr();
    EXPECT_EQ(ttyputc(fd, 'x'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "ttyputc(): timeout\n");
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    double cpu = cpu_seconds() - cpu_start;
    std::printf("ttyputc time-out after %.2f s of wall time, %.3f s of processor time\n", wall, cpu);
    EXPECT_GE(wall, 14.9);
    EXPECT_LE(wall, 17.5);
    EXPECT_LT(cpu, 0.25) << "processor time spent waiting for the port";
}

TEST(SerialLineFull, PutTimesOutWhenTheLineNeverDrains)
{
    // A full non-blocking pipe refuses every byte, as a port whose output
    // never drains does; a pseudo-terminal's room varies as its buffers are
    // moved along, which would make the test depend on the machine's load.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    const unsigned char fill[4096] = {};
    while (write(fds[1], fill, sizeof fill) > 0) {
    }
    while (write(fds[1], fill, 1) > 0) {
    }
    expect_put_times_out(fds[1]);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(SerialLine, PutTimesOutOnAHungUpPort)
{
    int fd = open_port();
    ttyinit(fd, 9600);
    port.hang_up();
    expect_put_times_out(fd);
    closetty(fd);
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
