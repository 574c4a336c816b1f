// The real keyferry binary between the stand-ins: a pseudo-terminal as its
// keyboard port and a FIFO as its simulator device.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "golden.h"
#include "irkb101_link.h"
#include "keychars.h"
#include "runner.h"

namespace {

using namespace std::chrono_literals;
using sim::key_event;

// Types text through a ready relay: "none" when exactly its events arrived,
// else where they first went wrong.
std::string round_trip(sim::relay_session &relay, std::string_view text, const sim::send_plan &plan = {})
{
    std::vector<key_event> events;
    if (!relay.type_and_collect(text, events, plan))
        return "fence lost";
    return golden::first_difference(events, golden::typing(text));
}

struct outcome {
    int status = -1;
    std::string messages;
};

// Runs the relay with the given words and no stand-ins, for start-up
// failures; it must end by itself within a few seconds. name is the word it
// runs under, which prefixes most of its messages.
outcome run_relay(std::vector<std::string> words, const std::string &name = "keyferry")
{
    int pipe_fds[2];
    EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    words.insert(words.begin(), name);
    const pid_t pid = sim::spawn_relay(KEYFERRY_RELAY, words, pipe_fds[1]);
    close(pipe_fds[1]);
    outcome result;
    if (pid < 0) {
        close(pipe_fds[0]);
        return result;
    }
    char buf[4096];
    pollfd pfd{pipe_fds[0], POLLIN, 0};
    ssize_t got = 1;
    while (got > 0 && poll(&pfd, 1, 5000) > 0) {
        got = read(pipe_fds[0], buf, sizeof buf);
        if (got > 0)
            result.messages.append(buf, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    if (got > 0)
        kill(pid, SIGKILL); // still running: a failure, not a reason to hang
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    return result;
}

class RawRelay : public testing::Test {
protected:
    sim::raw_keyboard keyboard;
};

TEST_F(RawRelay, EveryByteValueArrivesAsItsEventsInOrderAcrossReads)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    std::string all(256, '\0');
    for (int ch = 0; ch < 256; ++ch)
        all[static_cast<size_t>(ch)] = static_cast<char>(ch);
    const golden::events expected = golden::typing(all);
    ASSERT_TRUE(relay->send(std::vector<uint8_t>(all.begin(), all.end()), {false, {1, 2, 5, 20, 100}}));
    ASSERT_TRUE(relay->wait_for_events(expected.size()));
    EXPECT_EQ(golden::first_difference(relay->take_events(), expected), "none");
    // Nothing more may follow but the next character typed.
    EXPECT_EQ(round_trip(*relay, "q"), "none");
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST_F(RawRelay, StaleBytesAreDiscardedAndDescriptorZeroServesAsTheDevice)
{
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const uint8_t stale[] = {'s', 't', 'a', 'l', 'e'};
    ASSERT_EQ(write(relay.port().master(), stale, sizeof stale), 5);
    relay.launch.close_standard_input = true; // the device is opened first: it gets descriptor 0
    ASSERT_TRUE(relay.start());
    ASSERT_TRUE(relay.wait_ready());
    // Before the fence only the probes (Home) and the fence (End) came through.
    const golden::events &home = golden::typing()[EXT_HOME], &end = golden::typing()[EXT_END];
    for (const key_event &e : relay.startup_events())
        EXPECT_TRUE(e == home[0] || e == home[1] || e == end[0] || e == end[1]) << sim::describe(e);
    EXPECT_EQ(round_trip(relay, "ok"), "none");
    EXPECT_EQ(relay.hang_up(), 0);
}

TEST_F(RawRelay, TracesEveryEventIdlesAsleepAndEndsWithinASecondOfAHangUp)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY, {"-v"});
    ASSERT_TRUE(relay);
    std::vector<key_event> events;
    ASSERT_TRUE(relay->type_and_collect("A", events));
    // An idle line: the relay must sleep in its wait, not poll.
    const double busy_before = relay->cpu_seconds_so_far();
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(relay->cpu_seconds_so_far() - busy_before, 0.15) << "processor time over 1.5 s of idling";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(relay->hang_up(3s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    const std::string trace =
        "keyferry: code=27(1b), PRESS\nkeyferry: code=1(1), PRESS\n"
        "keyferry: code=1(1), RELEASE\nkeyferry: code=27(1b), RELEASE\n";
    EXPECT_NE(relay->messages().find(trace), std::string::npos) << relay->messages();
    EXPECT_TRUE(
        relay->messages().ends_with("keyferry: code=29(1d), RELEASE\nkeyferry: keyboard port hung up\n"));
}

TEST_F(RawRelay, AnUnsupportedSpeedFallsBackAndAnUnreadDeviceCostsOnlyEvents)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY, {"-99999999999"});
    ASSERT_TRUE(relay);
    const termios applied = relay->port().settings();
    EXPECT_EQ(cfgetospeed(&applied), B9600);
    // More events than a FIFO holds: a relay that kept the device open for
    // reading too would block once it filled, instead of dropping them.
    relay->device().close_reader();
    ASSERT_TRUE(relay->send(std::vector<uint8_t>(20'000, 'a')));
    ASSERT_TRUE(relay->port().wait_drained(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(relay->hang_up(), 0) << "a write to a device nobody reads must not kill the relay";
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

    // A file named as the port must be refused before anything is written
    // to it, the IrKB101 init strings included.
    const std::string file = std::string(fifo_dir) + "/not-a-port";
    close(open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));

    struct {
        std::vector<std::string> words;
        std::string messages;
        std::string name = "keyferry";
    } cases[] = {
        {{"-d", "/nonexistent/kbdsim", "/nonexistent/tty"},
         "kf: can't open KBDSIM device /nonexistent/kbdsim\n",
         "kf"},
        {{"-d", fifo, "/nonexistent/tty"}, "can't open /nonexistent/tty\n"},
        {{"-d", fifo, "-cradle", "-19200", "/nonexistent/tty"}, "can't open /nonexistent/tty\n"},
        {{"-d", fifo, "/dev/null"}, "keyferry: /dev/null: not a terminal\n"},
        {{"-d", fifo, "-irkb101", file}, "keyferry: " + file + ": not a terminal\n"},
        {{"-u", "-d", "/nonexistent/uinput", "/nonexistent/tty"},
         "keyferry: can't open uinput device /nonexistent/uinput\n"},
    };
    const termios before = port.settings();
    for (const auto &c : cases) {
        outcome got = run_relay(c.words, c.name);
        EXPECT_EQ(got.status, 1) << c.messages;
        EXPECT_EQ(got.messages, c.messages);
    }
    // A device that is not uinput: the reason is the kernel's (an emulator
    // may give its own), and the port, configured by then, is put back.
    outcome refused = run_relay({"-uinput", "-cradle", "-d", "/dev/null", port.port_path()});
    EXPECT_EQ(refused.status, 1);
    const std::string why = "keyferry: /dev/null: can't create the virtual keyboard: ";
    EXPECT_EQ(refused.messages.rfind(why, 0), 0u) << refused.messages;
    EXPECT_GT(refused.messages.size(), why.size() + 1) << refused.messages;
    EXPECT_TRUE(sim::same_settings(before, port.settings()));
    struct stat written {};
    EXPECT_EQ(stat(file.c_str(), &written), 0);
    EXPECT_EQ(written.st_size, 0);
    close(reader);
    unlink(file.c_str());
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

TEST_F(RawRelay, ASecondRelayOnTheSamePortIsRefusedAndChangesNothing)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    const std::string port = relay->port().port_path();
    // Were it to configure the port first, -cradle would set 4800 bps.
    outcome second = run_relay({"-d", relay->device().path(), "-cradle", port});
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.messages, "keyferry: " + port + ": in use by another relay\n");
    const termios applied = relay->port().settings();
    EXPECT_EQ(cfgetispeed(&applied), B9600);
    EXPECT_EQ(round_trip(*relay, "still mine"), "none");
    EXPECT_EQ(relay->hang_up(), 0);
}

// Ends a relay by sig once start_running() returns true, and checks that it
// died of that signal with the port's settings put back as they were.
void expect_signal_restores_the_port(sim::virtual_keyboard &keyboard, int sig,
                                     const std::function<bool(sim::relay_session &)> &start_running)
{
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const termios before = relay.port().settings();
    ASSERT_TRUE(relay.start());
    ASSERT_TRUE(start_running(relay)) << relay.messages();
    ASSERT_EQ(kill(relay.pid(), sig), 0);
    EXPECT_EQ(relay.wait_exit(5s), 128 + sig) << strsignal(sig);
    EXPECT_TRUE(sim::same_settings(before, relay.port().settings())) << strsignal(sig);
}

TEST(Signals, EndTheRelayBySignalWithThePortRestored)
{
    sim::raw_keyboard keyboard;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        expect_signal_restores_the_port(keyboard, sig, [](sim::relay_session &r) { return r.wait_ready(); });

    // A signal ignored when the relay started stays ignored (nohup).
    sim::relay_session nohup(keyboard, KEYFERRY_RELAY);
    nohup.launch.ignored_signals = {SIGHUP};
    ASSERT_TRUE(nohup.start() && nohup.wait_ready());
    ASSERT_EQ(kill(nohup.pid(), SIGHUP), 0);
    EXPECT_EQ(round_trip(nohup, "still here"), "none");
    EXPECT_EQ(nohup.hang_up(), 0);

    // During the handshake too, with a keyboard that never answers.
    sim::irkb101_keyboard silent(true, sim::irkb101_keyboard_behaviour::silent());
    expect_signal_restores_the_port(silent, SIGTERM, [](sim::relay_session &r) {
        return r.pump_until([&] { return r.messages().find("sending init string #0") != std::string::npos; },
                            5s);
    });
}

TEST(IrKB101Relay, APortThatTakesNothingEndsTheHandshakeAfterOneTimeOut)
{
    // Output stopped by flow control: no init byte can leave, so no answer
    // can come. The relay gives up at the first byte's time-out.
    sim::irkb101_keyboard keyboard(true);
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const termios before = relay.port().settings();
    relay.port().stop_output();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.start());
    EXPECT_EQ(relay.wait_exit(25s), 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 15s);
    EXPECT_LT(took, 17500ms);
    EXPECT_EQ(relay.messages(),
              "sending init string #0\nttyputc(): timeout\n"
              "keyferry: can't initialize IrKB101+PS/2 keyboard (-2)\n");
    EXPECT_TRUE(sim::same_settings(before, relay.port().settings()));
}

} // namespace
