// The real relay in cradle and IrKB101 mode, typed on by the virtual
// keyboards that speak those protocols.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "golden.h"
#include "irkb101_link.h"
#include "next_second.h"
#include "runner.h"

namespace {

using namespace std::chrono_literals;
using sim::key_event;

// A sentence with capitals, digits, punctuation, control keys (tab, Ctrl+C,
// backspace, escape, carriage return) and the keys without characters.
const std::string sentence =
    "The quick brown fox: 1+1=2? \"yes\" & {ok} ~|_\t\x03\x08\x1b\r"
    "\x80\x81\x82\x83\x84\x85\x86 `@^$%*()[]<>/\\;,.!#'-";

// Types text through a started, ready relay and checks that exactly its
// events arrived.
void expect_round_trip(sim::relay_session &relay, const std::string &text, const sim::send_plan &plan = {})
{
    std::vector<key_event> events;
    ASSERT_TRUE(relay.type_and_collect(text, events, plan, 30s)) << relay.messages();
    EXPECT_EQ(golden::first_difference(events, golden::typing(text)), "none")
        << text.size() << " characters from " << sim::printable(text.substr(0, 40));
}

std::vector<size_t> every(size_t step, size_t size)
{
    std::vector<size_t> cuts;
    for (size_t at = step; at < size; at += step)
        cuts.push_back(at);
    return cuts;
}

std::string random_printable(size_t length, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> printable(' ', '~');
    std::string text(length, ' ');
    for (char &c : text)
        c = static_cast<char>(printable(rng));
    return text;
}

// Bursts of random text as fast as the port takes them, so that reads fill
// the decoders' room while they carry an unfinished sequence: every event
// must arrive, and nothing may be reported but the keyboard's DUMP lines.
void expect_bursts_arrive_whole(sim::virtual_keyboard &keyboard, size_t length, int bursts)
{
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    for (int burst = 1; burst <= bursts; ++burst)
        expect_round_trip(*relay, random_printable(length, static_cast<unsigned>(burst)));
    EXPECT_EQ(relay->hang_up(), 0);
    std::istringstream messages(relay->messages());
    for (std::string line; std::getline(messages, line);) {
        if (line.rfind("keyferry: DUMP", 0) != 0) {
            EXPECT_EQ(line, "keyferry: keyboard port hung up");
        }
    }
}

TEST(CradleRelay, LongBurstsLoseNothing)
{
    sim::cradle_keyboard keyboard;
    expect_bursts_arrive_whole(keyboard, 60'000, 5);
}

TEST(IrKB101Relay, LongBurstsLoseNothing)
{
    sim::irkb101_keyboard keyboard(false);
    keyboard.framing.pairs_per_run = 7;
    expect_bursts_arrive_whole(keyboard, 30'000, 4);
}

TEST(CradleRelay, TypesWholeCutAndPacedAndSkipsUnknownCodes)
{
    sim::cradle_keyboard keyboard;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    expect_round_trip(*relay, sentence);
    // Every read ends inside a sequence somewhere: cuts every 1, 2 and 5 bytes.
    const std::string text = "Ab\x80~C\x03";
    std::vector<uint8_t> codes;
    ASSERT_TRUE(keyboard.encode(text, codes));
    for (size_t step : {1u, 2u, 5u})
        expect_round_trip(*relay, text, {false, every(step, codes.size())});
    expect_round_trip(*relay, "Paced: 4800 bps!", {true, {}});
    const termios applied = relay->port().settings();
    EXPECT_EQ(cfgetispeed(&applied), B4800);

    // A keyboard self-test answer and an acknowledgement between keys.
    std::vector<uint8_t> bytes{0xAA};
    ASSERT_TRUE(keyboard.encode("x", bytes));
    bytes.push_back(0xFA);
    ASSERT_TRUE(keyboard.encode("y", bytes));
    ASSERT_TRUE(relay->send(bytes));
    ASSERT_TRUE(relay->wait_for_events(4));
    EXPECT_EQ(relay->take_events(), golden::typing("xy"));
    EXPECT_EQ(relay->hang_up(), 0);
    EXPECT_EQ(relay->messages(), "unknown keycode aa\nunknown keycode fa\nkeyferry: keyboard port hung up\n");
}

TEST(IrKB101Relay, InitialisedKeyboardTypesAndEveryChunkIsDumped)
{
    sim::irkb101_keyboard keyboard(true);
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    EXPECT_EQ(keyboard.heard_init_strings(), (std::vector<int>{0, 1, 2}));
    expect_round_trip(*relay, sentence);

    // The payload of a key, alone in its chunk, is dumped as it was sent.
    std::vector<uint8_t> framed;
    ASSERT_TRUE(keyboard.encode("Q", framed));
    ASSERT_TRUE(relay->send(framed));
    ASSERT_TRUE(relay->wait_for_events(4));
    EXPECT_EQ(relay->hang_up(), 0);

    const std::string messages = relay->messages();
    EXPECT_EQ(messages.rfind("sending init string #0\nsending init string #1\nsending init string #2\n"
                             "keyferry: IrKB101+PS/2 initialized\n",
                             0),
              0u)
        << messages;
    EXPECT_NE(messages.find("keyferry: DUMP 12 15 f0 15 f0 12\n"), std::string::npos) << messages;
}

TEST(IrKB101Relay, WithoutTheHandshakeRunsCutAcrossReadsAreJoined)
{
    sim::irkb101_keyboard keyboard(false);
    keyboard.framing.pairs_per_run = 3;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    const std::string text = "Cut, \x81 here!";
    std::vector<uint8_t> framed;
    ASSERT_TRUE(keyboard.encode(text, framed));
    for (size_t step : {framed.size(), size_t{1}, size_t{3}, size_t{7}})
        expect_round_trip(*relay, text, {false, every(step, framed.size())});
    EXPECT_EQ(relay->hang_up(), 0);
    const std::string messages = relay->messages();
    EXPECT_EQ(messages.find("sending init string"), std::string::npos);
    EXPECT_EQ(messages.find("initialized"), std::string::npos);
    EXPECT_NE(messages.find("keyferry: DUMP"), std::string::npos);
}

// --- The IrKB101 handshake, against keyboards that answer well or badly ---

struct handshake_case {
    const char *what;
    sim::irkb101_keyboard_behaviour keyboard;
    std::string said;                  // everything the relay prints up to the end of the handshake
    double at_least, at_most;          // seconds from the start to the end of the handshake
    std::vector<uint8_t> pending = {}; // on the port before the relay starts
    std::chrono::milliseconds into_the_second = 0ms; // when, after time() ticks, the relay starts
};

void PrintTo(const handshake_case &c, std::ostream *os) { *os << c.what; }

std::string sending(int k) { return "sending init string #" + std::to_string(k) + "\n"; }

sim::irkb101_keyboard_behaviour delayed(std::chrono::milliseconds d0, std::chrono::milliseconds d1)
{
    sim::irkb101_keyboard_behaviour b;
    b.delay = {d0, d1, 0ms};
    return b;
}

sim::irkb101_keyboard_behaviour paused_inside(std::chrono::milliseconds pause)
{
    sim::irkb101_keyboard_behaviour b;
    b.pause_inside = pause;
    return b;
}

const std::string initialised = "keyferry: IrKB101+PS/2 initialized\n";
const std::string gave_up = "keyferry: can't initialize IrKB101+PS/2 keyboard (-2)\n";
const std::string noise = "response 00 should be ff\nresponse 13 should be ff\n";
const std::string miss = "response 09 should be 08\n";

class Handshake : public testing::TestWithParam<handshake_case> {};

// Started just after time() ticks, so that the whole-second limits (5 s
// overall, 2 s per response) fall at known moments.
TEST_P(Handshake, EndsAsTheKeyboardAnswers)
{
    const handshake_case &c = GetParam();
    sim::irkb101_keyboard keyboard(true, c.keyboard);
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const termios before = relay.port().settings();
    if (!c.pending.empty()) {
        ASSERT_EQ(write(relay.port().master(), c.pending.data(), c.pending.size()),
                  static_cast<ssize_t>(c.pending.size()));
    }
    wait_for_the_next_second();
    std::this_thread::sleep_for(c.into_the_second);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.start());
    const bool succeeds = c.said.ends_with(initialised);
    if (succeeds) {
        ASSERT_TRUE(
            relay.pump_until([&] { return relay.messages().find(initialised) != std::string::npos; }, 10s))
            << relay.messages();
    } else {
        EXPECT_EQ(relay.wait_exit(10s), 1);
        EXPECT_TRUE(sim::same_settings(before, relay.port().settings()));
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most);
    if (succeeds)
        relay.hang_up();
    EXPECT_EQ(relay.messages().substr(0, c.said.size()), c.said);
    // Waiting for an answer sleeps: a spinning wait would use the whole time.
    EXPECT_LT(relay.cpu_seconds(), 0.1 * took + 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    IrKB101Relay, Handshake,
    testing::Values(
        handshake_case{"answered", sim::irkb101_keyboard_behaviour::proper(),
                       sending(0) + sending(1) + sending(2) + initialised, 0, 1},
        handshake_case{"never answered", sim::irkb101_keyboard_behaviour::silent(),
                       sending(0) + sending(0) + gave_up, 5, 6.5},
        // Started half a second into a second: the limits still fall on
        // whole seconds of time(), not a whole second after each wait began.
        handshake_case{"never answered, started mid-second",
                       sim::irkb101_keyboard_behaviour::silent(),
                       sending(0) + sending(0) + gave_up,
                       5,
                       5.8,
                       {},
                       500ms},
        handshake_case{"answers two of three", sim::irkb101_keyboard_behaviour::silent_after_two(),
                       sending(0) + sending(1) + sending(2) + sending(2) + gave_up, 5, 6.5},
        handshake_case{"noise before each answer", sim::irkb101_keyboard_behaviour::noisy({0x00, 0x13}),
                       sending(0) + noise + sending(1) + noise + sending(2) + noise + initialised, 0, 1},
        // The rest of each answer comes 100 ms after its first bytes: read
        // as soon as it comes, not at the next whole second.
        handshake_case{"answers in two pieces", paused_inside(100ms),
                       sending(0) + sending(1) + sending(2) + initialised, 0.3, 0.9},
        handshake_case{"FF restarts the match", sim::irkb101_keyboard_behaviour::noisy({0xFF, 0x55}),
                       sending(0) + sending(1) + sending(2) + initialised, 0, 1},
        handshake_case{"wrong byte", sim::irkb101_keyboard_behaviour::noisy({0xFF, 0x55, 0x09}),
                       sending(0) + miss + sending(1) + miss + sending(2) + miss + initialised, 0, 1},
        // Due after the first wait has run out (2 to 3 s), matched in the
        // second one.
        handshake_case{"late answer matched in the next wait", delayed(3200ms, 0ms),
                       sending(0) + sending(0) + sending(1) + sending(2) + initialised, 3.2, 4.5},
        // #0 is answered at about 4.2 s, after its repeat; #1 goes out in
        // the fifth second and is answered at about 6.5 s: by then six whole
        // seconds have passed, so #2 is never sent.
        handshake_case{"overall limit before the last string", delayed(4150ms, 2300ms),
                       sending(0) + sending(0) + sending(1) + gave_up, 6, 7.5},
        // #0 answered at about 5.2 s, in the wait after its repeat: the
        // sending of #1 falls in the sixth second, still inside the limit.
        handshake_case{"answered just inside the overall limit", delayed(5200ms, 0ms),
                       sending(0) + sending(0) + sending(1) + sending(2) + initialised, 5, 6},
        handshake_case{"bytes pending before the start are discarded",
                       sim::irkb101_keyboard_behaviour::proper(),
                       sending(0) + sending(1) + sending(2) + initialised,
                       0,
                       1,
                       {0x00, 0x13, 0xFF, 0x55}}),
    [](const testing::TestParamInfo<handshake_case> &info) {
        std::string name;
        for (const char *s = info.param.what; *s; ++s)
            name += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
        return name;
    });

} // namespace
