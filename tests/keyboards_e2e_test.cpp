// The real relay in cradle and IrKB101 mode, typed on by the virtual
// keyboards that speak those protocols.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "golden.h"
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

TEST(CradleRelay, SentenceArrivesAsExactlyItsEvents)
{
    sim::cradle_keyboard keyboard;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    expect_round_trip(*relay, sentence);
    EXPECT_EQ(relay->hang_up(), 0);
    EXPECT_EQ(relay->messages(), "keyferry: keyboard port hung up\n");
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

TEST(CradleRelay, SequencesCutAcrossReadsAreJoined)
{
    sim::cradle_keyboard keyboard;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    // Every read ends inside a sequence somewhere: cuts every 1, 2 and 5 bytes.
    const std::string text = "Ab\x80~C\x03";
    std::vector<uint8_t> codes;
    ASSERT_TRUE(keyboard.encode(text, codes));
    for (size_t step : {1u, 2u, 5u})
        expect_round_trip(*relay, text, {false, every(step, codes.size())});
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST(CradleRelay, TypesAtTheKeyboardsOwnLineRate)
{
    sim::cradle_keyboard keyboard;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    expect_round_trip(*relay, "Paced: 4800 bps!", {true, {}});
    const termios applied = relay->port().settings();
    EXPECT_EQ(cfgetispeed(&applied), B4800);
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST(CradleRelay, UnknownCodesAreReportedAndSkipped)
{
    sim::cradle_keyboard keyboard;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
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

TEST(IrKB101Relay, RunsCutAcrossReadsAreJoined)
{
    sim::irkb101_keyboard keyboard(false);
    keyboard.framing.pairs_per_run = 3;
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    const std::string text = "Cut, \x81 here!";
    std::vector<uint8_t> framed;
    ASSERT_TRUE(keyboard.encode(text, framed));
    for (size_t step : {1u, 3u, 7u})
        expect_round_trip(*relay, text, {false, every(step, framed.size())});
    EXPECT_EQ(relay->hang_up(), 0);
}

TEST(IrKB101Relay, WithoutTheHandshakeNothingIsSentToTheKeyboard)
{
    sim::irkb101_keyboard keyboard(false);
    auto relay = sim::start_ready_relay(keyboard, KEYFERRY_RELAY);
    ASSERT_TRUE(relay);
    expect_round_trip(*relay, "No handshake.");
    EXPECT_EQ(relay->hang_up(), 0);
    const std::string messages = relay->messages();
    EXPECT_EQ(messages.find("sending init string"), std::string::npos);
    EXPECT_EQ(messages.find("initialized"), std::string::npos);
    EXPECT_NE(messages.find("keyferry: DUMP"), std::string::npos);
}

TEST(IrKB101Relay, SilentKeyboardEndsStartUpAndRestoresThePort)
{
    sim::irkb101_keyboard keyboard(true, irkb101_keyboard_behaviour::silent());
    sim::relay_session relay(keyboard, KEYFERRY_RELAY);
    const termios before = relay.port().settings();
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(relay.start());
    EXPECT_EQ(relay.wait_exit(10s), 1);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 4s);
    EXPECT_LE(took, 7s);
    EXPECT_EQ(relay.messages(),
              "sending init string #0\nsending init string #0\n"
              "keyferry: can't initialize IrKB101+PS/2 keyboard (-2)\n");
    const termios after = relay.port().settings();
    EXPECT_TRUE(sim::same_settings(before, after));
}

} // namespace
