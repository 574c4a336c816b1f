// The handshake against the IrKB101 virtual keyboard on a real
// pseudo-terminal: the relay's side holds the slave, a thread plays the
// keyboard on the master. These tests run for seconds each, on purpose.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "irkb101.h"
#include "irkb101_link.h"

namespace {

using namespace std::chrono_literals;
using bytes = std::vector<unsigned char>;
using steady = std::chrono::steady_clock;

// A pseudo-terminal standing in for the serial port. The slave is opened as
// the relay opens its port and put in raw mode so nothing is echoed back.
struct pty_port {
    int master = -1;
    int slave = -1;

    pty_port()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return;
        char name[128];
        if (ptsname_r(master, name, sizeof name) != 0)
            return;
        slave = open(name, O_RDWR | O_NONBLOCK | O_NOCTTY);
        if (slave < 0)
            return;
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
    }
    ~pty_port()
    {
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
    pty_port(const pty_port &) = delete;
    pty_port &operator=(const pty_port &) = delete;
};

// Plays the keyboard on the master: passes what the relay sends to the
// responder and writes back each response when it falls due.
class keyboard_thread {
public:
    keyboard_thread(int master, irkb101_keyboard_behaviour behaviour)
        : master_(master), responder_(std::move(behaviour)), thread_([this] { run(); })
    {
    }
    ~keyboard_thread()
    {
        stop_ = true;
        thread_.join();
    }
    keyboard_thread(const keyboard_thread &) = delete;
    keyboard_thread &operator=(const keyboard_thread &) = delete;

    std::vector<int> recognised()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return responder_.recognised();
    }

private:
    void run()
    {
        while (!stop_) {
            int wait_ms = 10;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (auto due = responder_.next_due()) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(*due - steady::now()).count();
                    wait_ms = static_cast<int>(std::clamp<long long>(left, 0, wait_ms));
                }
            }
            pollfd pfd{master_, POLLIN, 0};
            poll(&pfd, 1, wait_ms);
            unsigned char buf[256];
            const ssize_t got = read(master_, buf, sizeof buf);
            bytes out;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (got > 0)
                    responder_.receive({buf, static_cast<std::size_t>(got)}, steady::now());
                responder_.take_due(steady::now(), out);
            }
            if (!out.empty()) {
                EXPECT_EQ(write(master_, out.data(), out.size()), static_cast<ssize_t>(out.size()));
            }
        }
    }

    int master_;
    std::mutex mutex_;
    irkb101_responder responder_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double cpu_seconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct outcome {
    int result;
    std::string messages;
    double wall;        // seconds
    double thread_cpu;  // seconds used by the thread that ran the handshake
    double process_cpu; // seconds used by the whole test process meanwhile
    std::vector<int> recognised;
};

// Starts a few hundredths of a second into a fresh second of time(), so that
// the whole-second limits fall at known moments of the test.
void start_of_a_second()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const auto left = std::chrono::nanoseconds(1'000'000'000L - now.tv_nsec);
    std::this_thread::sleep_for(left + 20ms);
}

enum class start { at_once, fresh_second };

outcome handshake(pty_port &port, irkb101_keyboard_behaviour behaviour, start when = start::at_once,
                  const bytes &pending = {})
{
    EXPECT_GE(port.slave, 0) << "no pseudo-terminal";
    keyboard_thread keyboard(port.master, std::move(behaviour));
    if (!pending.empty()) {
        EXPECT_EQ(write(port.master, pending.data(), pending.size()), static_cast<ssize_t>(pending.size()));
        pollfd pfd{port.slave, POLLIN, 0};
        EXPECT_EQ(poll(&pfd, 1, 1000), 1) << "pending bytes never reached the port";
    }
    if (when == start::fresh_second)
        start_of_a_second();

    outcome o{};
    const double cpu0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const double proc0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wall0 = steady::now();
    testing::internal::CaptureStderr();
    o.result = init_irkb101(port.slave);
    o.messages = testing::internal::GetCapturedStderr();
    o.wall = std::chrono::duration<double>(steady::now() - wall0).count();
    o.thread_cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    o.process_cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - proc0;
    o.recognised = keyboard.recognised();
    std::printf("handshake: result %d, wall %.3f s, handshake thread CPU %.4f s, process CPU %.4f s\n",
                o.result, o.wall, o.thread_cpu, o.process_cpu);
    return o;
}

std::string sending(int k) { return "sending init string #" + std::to_string(k) + "\n"; }

// --- Against the pseudo-terminal -------------------------------------------------

TEST(Handshake, AllAnswered)
{
    pty_port port;
    const outcome o = handshake(port, irkb101_keyboard_behaviour::proper());
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, sending(0) + sending(1) + sending(2));
    EXPECT_EQ(o.recognised, (std::vector<int>{0, 1, 2}));
    EXPECT_LT(o.wall, 1.0);
}

TEST(Handshake, NeverAnsweredGivesUpAfterFiveToSixSecondsWithoutSpinning)
{
    pty_port port;
    const outcome o = handshake(port, irkb101_keyboard_behaviour::silent());
    EXPECT_EQ(o.result, -2);
    EXPECT_EQ(o.messages, sending(0) + sending(0));
    EXPECT_EQ(o.recognised, (std::vector<int>{0, 0}));
    EXPECT_GE(o.wall, 5.0);
    EXPECT_LE(o.wall, 6.5);
    // Waiting sleeps in poll: a few milliseconds of processor time at most.
    EXPECT_LT(o.thread_cpu, 0.05 * o.wall);
    RecordProperty("wall_ms", static_cast<int>(o.wall * 1000));
    RecordProperty("handshake_cpu_us", static_cast<int>(o.thread_cpu * 1e6));
}

TEST(Handshake, NoiseBeforeEachResponseIsReportedAndSkipped)
{
    pty_port port;
    const outcome o = handshake(port, irkb101_keyboard_behaviour::noisy({0x00, 0x13}));
    EXPECT_EQ(o.result, 0);
    const std::string noise = "response 00 should be ff\nresponse 13 should be ff\n";
    EXPECT_EQ(o.messages, sending(0) + noise + sending(1) + noise + sending(2) + noise);
}

TEST(Handshake, FFRestartsTheMatchSilently)
{
    pty_port port;
    // The keyboard sends FF 55 FF 55 08 ...: the second FF starts afresh.
    const outcome o = handshake(port, irkb101_keyboard_behaviour::noisy({0xFF, 0x55}));
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, sending(0) + sending(1) + sending(2));
}

TEST(Handshake, MismatchIsReportedWithTheExpectedByte)
{
    pty_port port;
    // FF 55 09: the third byte should have been 08; matching starts over.
    const outcome o = handshake(port, irkb101_keyboard_behaviour::noisy({0xFF, 0x55, 0x09}));
    EXPECT_EQ(o.result, 0);
    const std::string miss = "response 09 should be 08\n";
    EXPECT_EQ(o.messages, sending(0) + miss + sending(1) + miss + sending(2) + miss);
}

TEST(Handshake, LateResponseIsMatchedDuringTheNextWait)
{
    pty_port port;
    // Due after the first wait has run out (2 to 3 s) and well inside the
    // second one, whatever the phase of the second.
    irkb101_keyboard_behaviour late;
    late.delay = {3200ms, 0ms, 0ms};
    const outcome o = handshake(port, late, start::fresh_second);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, sending(0) + sending(0) + sending(1) + sending(2));
    EXPECT_GE(o.wall, 3.2);
    EXPECT_LT(o.wall, 4.5);
}

TEST(Handshake, OverallLimitReachedBeforeTheLastString)
{
    pty_port port;
    // Started 0.02 s into second S: #0 is answered at about S+4.2, after its
    // repeat; #1 goes out in second S+4 and is answered at about S+6.5, inside
    // its wait. By then six whole seconds have passed: #2 is never sent.
    irkb101_keyboard_behaviour slow;
    slow.delay = {4150ms, 2300ms, 0ms};
    const outcome o = handshake(port, slow, start::fresh_second);
    EXPECT_EQ(o.result, -2);
    EXPECT_EQ(o.messages, sending(0) + sending(0) + sending(1));
    EXPECT_EQ(o.recognised, (std::vector<int>{0, 0, 1}));
    EXPECT_GE(o.wall, 6.0);
}

TEST(Handshake, BytesPendingBeforeTheCallAreDiscarded)
{
    pty_port port;
    // Matched, these would print two mismatch messages.
    const outcome o =
        handshake(port, irkb101_keyboard_behaviour::proper(), start::at_once, {0x00, 0x13, 0xFF, 0x55});
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.messages, sending(0) + sending(1) + sending(2));
}

TEST(Handshake, PortThatPollsReadyWithNothingToReadDoesNotSpin)
{
    // A line whose far end stopped sending: poll() reports it readable at
    // once, yet every read finds nothing. The wait must still sleep.
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
    ASSERT_EQ(shutdown(ends[1], SHUT_WR), 0);
    const double cpu0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    const auto wall0 = steady::now();
    testing::internal::CaptureStderr();
    const int result = init_irkb101(ends[0]);
    const std::string messages = testing::internal::GetCapturedStderr();
    const double wall = std::chrono::duration<double>(steady::now() - wall0).count();
    const double cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
    close(ends[0]);
    close(ends[1]);
    std::printf("handshake at end of file: wall %.3f s, CPU %.4f s\n", wall, cpu);
    EXPECT_EQ(result, -2);
    EXPECT_EQ(messages, sending(0) + sending(0));
    EXPECT_GE(wall, 5.0);
    EXPECT_LT(cpu, 0.05 * wall);
}

// --- The virtual keyboard's responder on its own -----------------------------------

irkb101_responder::clock::time_point at(int ms)
{
    return irkb101_responder::clock::time_point{} + std::chrono::milliseconds(ms);
}

bytes concat(std::initializer_list<std::span<const unsigned char>> parts)
{
    bytes out;
    for (auto p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Responder, RecognisesStringsSplitAnywhereAndAfterGarbage)
{
    irkb101_responder r;
    const bytes stream = concat({bytes{0xC0, 0x12, 0xAA}, irkb101_init_string(0), bytes{0x00},
                                 irkb101_init_string(1), irkb101_init_string(2)});
    for (unsigned char b : stream)
        r.receive({&b, 1}, at(0));
    EXPECT_EQ(r.recognised(), (std::vector<int>{0, 1, 2}));
    bytes out;
    r.take_due(at(0), out);
    EXPECT_EQ(out, concat({irkb101_response(0), irkb101_response(1), irkb101_response(2)}));
    EXPECT_FALSE(r.next_due());
}

TEST(Responder, LateAnswerIsDueAfterTheDelay)
{
    irkb101_responder r(irkb101_keyboard_behaviour::late(2500ms));
    r.receive(irkb101_init_string(0), at(1000));
    ASSERT_TRUE(r.next_due());
    EXPECT_EQ(*r.next_due(), at(3500));
    bytes out;
    EXPECT_EQ(r.take_due(at(3499), out), 0u);
    EXPECT_EQ(r.take_due(at(3500), out), 5u);
    EXPECT_EQ(out, concat({irkb101_response(0)}));
}

TEST(Responder, SilentAfterTwoAnswersOnlyTheFirstTwoStrings)
{
    irkb101_responder r(irkb101_keyboard_behaviour::silent_after_two());
    for (int k : {0, 1, 2, 2})
        r.receive(irkb101_init_string(k), at(0));
    EXPECT_EQ(r.recognised(), (std::vector<int>{0, 1, 2, 2}));
    bytes out;
    r.take_due(at(0), out);
    EXPECT_EQ(out, concat({irkb101_response(0), irkb101_response(1)}));

    irkb101_responder silent(irkb101_keyboard_behaviour::silent());
    silent.receive(irkb101_init_string(0), at(0));
    EXPECT_FALSE(silent.next_due());
}

TEST(Responder, NoiseGoesInFrontOfEveryResponse)
{
    irkb101_responder r(irkb101_keyboard_behaviour::noisy({0x00}));
    r.receive(concat({irkb101_init_string(1), irkb101_init_string(2)}), at(0));
    bytes out;
    r.take_due(at(0), out);
    EXPECT_EQ(out, concat({bytes{0x00}, irkb101_response(1), bytes{0x00}, irkb101_response(2)}));
}

} // namespace
