// The real keyferry binary between the stand-ins: a pseudo-terminal as its
// keyboard port and a FIFO as its simulator device.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "keychars.h"
#include "keyferry.h"
#include "runner.h"

namespace {

using namespace std::chrono_literals;
using sim::key_event;

std::vector<key_event> events_of(int ch)
{
    unsigned char buf[event_buffer_size];
    int n = char2key(ch, buf);
    std::vector<key_event> out;
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        out.push_back({buf[2 * i], buf[2 * i + 1]});
    return out;
}

// Types text through a ready relay and returns what the handheld received;
// a fault in the events or a lost fence shows as a mismatch.
std::string received(sim::relay_session &relay, std::string_view text, const sim::send_plan &plan = {})
{
    std::vector<key_event> events;
    if (!relay.type_and_collect(text, events, plan))
        return "<fence lost>";
    sim::event_decoder decoder;
    decoder.feed(events);
    return decoder.faults().empty() ? decoder.text() : "<faulty events>";
}

struct outcome {
    int status = -1;
    std::string messages;
};

// Runs the relay with the given words and no stand-ins, for start-up
// failures; it must end by itself within a few seconds.
outcome run_relay(std::vector<std::string> words)
{
    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    words.insert(words.begin(), "keyferry");
    sim::relay_command command = sim::make_relay_command(KEYFERRY_RELAY, words);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], 2);
        sim::exec_command(command);
        _exit(127);
    }
    close(pipe_fds[1]);
    outcome result;
    char buf[4096];
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    while (poll(&pfd, 1, 5000) > 0) {
        ssize_t got = read(pipe_fds[0], buf, sizeof buf);
        if (got <= 0)
            break;
        result.messages.append(buf, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

class RawRelay : public testing::Test {
protected:
    sim::raw_keyboard keyboard;
};

TEST_F(RawRelay, EveryByteValueArrivesAsItsEventsInOrder)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);

    std::vector<uint8_t> all(256);
    std::vector<key_event> expected;
    for (int ch = 0; ch < 256; ++ch) {
        all[static_cast<size_t>(ch)] = static_cast<uint8_t>(ch);
        auto e = events_of(ch);
        expected.insert(expected.end(), e.begin(), e.end());
    }
    ASSERT_TRUE(relay->send(all));
    ASSERT_TRUE(relay->wait_for_events(expected.size()));
    EXPECT_EQ(relay->take_events(), expected);
    // Nothing more may follow but the next character typed.
    std::vector<key_event> tail;
    ASSERT_TRUE(relay->type_and_collect("q", tail));
    EXPECT_EQ(tail, events_of('q'));
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST_F(RawRelay, TextRoundTripsByteForByteAcrossReads)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    const std::string text = "Hello, World!\r\tctrl:\x01\x1b del:\x7f `~?\\|{}";
    EXPECT_EQ(received(*relay, text, {false, {1, 2, 5, 20}}), text);
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST_F(RawRelay, BytesPendingBeforeTheLoopAreDiscarded)
{
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const uint8_t stale[] = {'s', 't', 'a', 'l', 'e'};
    ASSERT_EQ(write(relay.port().master(), stale, sizeof stale), 5);
    ASSERT_TRUE(relay.start());
    ASSERT_TRUE(relay.wait_ready());

    // Before the fence only probes may have come through.
    sim::event_decoder before;
    before.feed(relay.startup_events());
    EXPECT_EQ(before.text().find_first_not_of(std::string(1, sim::probe_char) + sim::fence_char),
              std::string::npos)
        << sim::printable(before.text());

    EXPECT_EQ(received(relay, "ok"), "ok");
    EXPECT_EQ(relay.hang_up(), 0);
}

TEST_F(RawRelay, ADeviceOpenedAsDescriptorZeroIsUsed)
{
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    relay.close_standard_input = true;
    ASSERT_TRUE(relay.start());
    ASSERT_TRUE(relay.wait_ready());
    EXPECT_EQ(received(relay, "fd0"), "fd0");
    EXPECT_EQ(relay.hang_up(), 0);
}

TEST_F(RawRelay, HangUpEndsTheRelayWithinASecond)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(relay->hang_up(3s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(relay->messages(), "keyferry: keyboard port hung up\n");
}

TEST_F(RawRelay, TraceShowsEveryEvent)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY, {"-v"});
    ASSERT_TRUE(relay);
    std::vector<key_event> events;
    ASSERT_TRUE(relay->type_and_collect("A", events));
    EXPECT_EQ(relay->hang_up(), 0);
    const std::string trace =
        "keyferry: code=27(1b), PRESS\n"
        "keyferry: code=1(1), PRESS\n"
        "keyferry: code=1(1), RELEASE\n"
        "keyferry: code=27(1b), RELEASE\n";
    EXPECT_NE(relay->messages().find(trace), std::string::npos) << relay->messages();
}

TEST_F(RawRelay, AnUnreadDeviceCostsEventsNotTheRelay)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    relay->device().close_reader();
    ASSERT_TRUE(relay->send({'a', 'b', 'c'}));
    ASSERT_TRUE(relay->port().wait_drained(sim::clock::now() + 5s));
    EXPECT_EQ(relay->hang_up(), 0) << "a write to a device nobody reads must not kill the relay";
    EXPECT_EQ(relay->messages(), "keyferry: keyboard port hung up\n");
}

TEST_F(RawRelay, UnsupportedSpeedFallsBackAndRuns)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY, {"-99999999999"});
    ASSERT_TRUE(relay);
    const termios applied = relay->port().settings();
    EXPECT_EQ(cfgetospeed(&applied), B9600);
    EXPECT_EQ(relay->hang_up(), 0);
    EXPECT_EQ(relay->messages(),
              "2147483647 bps unavailable.  9600 bps selected.\n"
              "keyferry: keyboard port hung up\n");
}

TEST(StartUp, FailuresEndWithTheirMessageAndStatusOne)
{
    sim::pseudo_terminal port;
    char fifo_dir[] = "/tmp/keyferry-test.XXXXXX";
    ASSERT_NE(mkdtemp(fifo_dir), nullptr);
    const std::string fifo = std::string(fifo_dir) + "/kbdsim";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);

    struct {
        std::vector<std::string> words;
        std::string messages;
    } cases[] = {
        {{"-d", "/nonexistent/kbdsim", "/nonexistent/tty"},
         "keyferry: can't open KBDSIM device /nonexistent/kbdsim\n"},
        {{"-d", fifo, "/nonexistent/tty"}, "can't open /nonexistent/tty\n"},
        {{"-d", fifo, "-cradle", "-19200", "/nonexistent/tty"}, "can't open /nonexistent/tty\n"},
    };
    for (const auto &c : cases) {
        outcome got = run_relay(c.words);
        EXPECT_EQ(got.status, 1) << c.messages;
        EXPECT_EQ(got.messages, c.messages);
    }
    close(reader);
    unlink(fifo.c_str());
    rmdir(fifo_dir);
}

TEST(StartUp, BadCommandLinesPrintTheHelpText)
{
    for (const std::vector<std::string> &words : {std::vector<std::string>{"-x"}, {"-"}, {"-raw", "-d"}}) {
        outcome got = run_relay(words);
        EXPECT_EQ(got.status, 1);
        EXPECT_EQ(got.messages.rfind("Usage: keyferry [option]... [device]\n", 0), 0u) << got.messages;
        EXPECT_NE(got.messages.find("\tkeyferry -9600 -raw /dev/ttyS1\n"), std::string::npos);
    }
}

} // namespace
