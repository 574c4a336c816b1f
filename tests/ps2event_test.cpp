// The set-2 key decoder against the kernel's own key map
// (tests/golden/atkbd_set2.txt, read out of the kernel's AT keyboard driver)
// and the way that driver reports each kind of sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "golden.h"
#include "ps2event.h"

namespace {

using bytes = std::vector<unsigned char>;
using event = std::pair<int, int>; // key code, value
using events = std::vector<event>;

constexpr int ignored = 255; // the driver's "drop this code"

// The bytes of a make code of the driver's index: a key byte, E0 first for
// the extended half of the map.
bytes make_of(int index)
{
    const auto b = static_cast<unsigned char>((index & 0x7f) | (index & 0x100) >> 1);
    return (index & 0x80) ? bytes{0xE0, b} : bytes{b};
}

bytes break_of(int index)
{
    bytes out = make_of(index);
    out.insert(out.end() - 1, 0xF0);
    return out;
}

struct recorder final : key_sink {
    void key(int code, int value) override { got.emplace_back(code, value); }
    events got;
};

struct result {
    events got;
    std::string messages;
};

result decode(const bytes &stream, ps2event_decoder &d)
{
    recorder r;
    testing::internal::CaptureStderr();
    d.convert(static_cast<int>(stream.size()), stream.data(), r);
    return {r.got, testing::internal::GetCapturedStderr()};
}

result decode(const bytes &stream)
{
    ps2event_decoder d;
    return decode(stream, d);
}

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Ps2EventMap, HasTheKernelsKeys)
{
    ASSERT_GT(golden::kernel_keymap().size(), 100u) << "tests/golden/atkbd_set2.txt missing or cut short";
    for (int index = 0; index < ps2event_indices; ++index)
        EXPECT_EQ(ps2event_keymap[index], golden::kernel_key(index)) << std::hex << index;
}

// Every key of the map: make, a make while held, break; a second break is
// not sent on. The keys that never send a break are released at once.
TEST(Ps2EventKeys, EveryKeyPressesRepeatsAndReleases)
{
    for (const auto &[index, code] : golden::kernel_keymap()) {
        if (code == ignored)
            continue;
        const result r = decode(make_of(index) + make_of(index) + break_of(index) + break_of(index));
        const bool no_break = index == 0x171 || index == 0x172;
        const events expected = no_break ? events{{code, 1}, {code, 0}, {code, 1}, {code, 0}}
                                         : events{{code, 1}, {code, 2}, {code, 0}};
        EXPECT_EQ(r.got, expected) << std::hex << index;
        EXPECT_EQ(r.messages, "") << std::hex << index;
    }
}

// The codes the driver drops say nothing; those that name no key are
// reported by their byte.
TEST(Ps2EventKeys, UnknownCodesAreReportedAndIgnoredOnesAreNot)
{
    const bytes not_codes = {0xAA, 0xE0, 0xE1, 0xF0, 0xFA, 0xFE, 0xFF};
    for (int index = 0; index < ps2event_indices; ++index) {
        if (std::find(not_codes.begin(), not_codes.end(), make_of(index).back()) != not_codes.end())
            continue; // prefixes and the keyboard's own answers
        const result r = decode(make_of(index));
        if (golden::kernel_key(index) == 0) {
            char line[32];
            std::snprintf(line, sizeof line, "unknown keycode %02x\n", make_of(index).back());
            EXPECT_EQ(r.messages, line) << std::hex << index;
        } else {
            EXPECT_EQ(r.messages, "") << std::hex << index;
        }
        if (golden::kernel_key(index) == 0 || golden::kernel_key(index) == ignored) {
            EXPECT_TRUE(r.got.empty()) << std::hex << index;
        }
    }
}

struct sequence_case {
    const char *name;
    bytes stream;
    std::vector<std::pair<int, int>> expected; // driver index, value
};

void PrintTo(const sequence_case &c, std::ostream *os) { *os << c.name; }

class Ps2EventSequences : public testing::TestWithParam<sequence_case> {};

TEST_P(Ps2EventSequences, GiveTheDriversEvents)
{
    events expected;
    for (const auto &[index, value] : GetParam().expected)
        expected.emplace_back(golden::kernel_key(index), value);
    EXPECT_EQ(decode(GetParam().stream).got, expected);
}

// Reset releases in key code order: A (30) before left Shift (42).
// Indices: 12 left Shift, 59 right Shift, 14 left Ctrl, 94 right Ctrl, 1c A,
// fc Print Screen, f7 Pause, 11 left Alt, 0d Tab.
// clang-format off
INSTANTIATE_TEST_SUITE_P(Driver, Ps2EventSequences, testing::Values(
    sequence_case{"left_and_right_shift_are_apart", {0x12, 0x59, 0xF0, 0x12, 0xF0, 0x59},
                  {{0x12, 1}, {0x59, 1}, {0x12, 0}, {0x59, 0}}},
    sequence_case{"ctrl_and_right_ctrl_are_apart", {0x14, 0xE0, 0x14, 0xE0, 0xF0, 0x14, 0xF0, 0x14},
                  {{0x14, 1}, {0x94, 1}, {0x94, 0}, {0x14, 0}}},
    sequence_case{"print_screen_fake_shifts_are_dropped",
                  {0xE0, 0x12, 0xE0, 0x7C, 0xE0, 0xF0, 0x7C, 0xE0, 0xF0, 0x12}, {{0xFC, 1}, {0xFC, 0}}},
    sequence_case{"pause_is_one_press_and_one_release",
                  {0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77}, {{0xF7, 1}, {0xF7, 0}}},
    sequence_case{"rolled_over_keys", {0x11, 0x0D, 0xF0, 0x0D, 0x0D, 0xF0, 0x11, 0xF0, 0x0D},
                  {{0x11, 1}, {0x0D, 1}, {0x0D, 0}, {0x0D, 1}, {0x11, 0}, {0x0D, 0}}},
    sequence_case{"a_break_of_a_key_not_held_sends_nothing", {0xF0, 0x1C, 0x1C}, {{0x1C, 1}}},
    sequence_case{"answers_between_break_and_code_keep_the_break",
                  {0x1C, 0xF0, 0xFA, 0xFE, 0xFF, 0x1C}, {{0x1C, 1}, {0x1C, 0}}},
    sequence_case{"reset_releases_every_held_key_and_forgets_a_prefix",
                  {0x12, 0x1C, 0xE0, 0xF0, 0xAA, 0x1C}, {{0x12, 1}, {0x1C, 1}, {0x1C, 0}, {0x12, 0}, {0x1C, 1}}}));
// clang-format on

// A random session decoded in reads of every size gives the events of the
// whole stream decoded at once: no code is lost or changed at a cut.
TEST(Ps2EventKeys, ReadsCutAnywhereGiveTheSameEvents)
{
    std::mt19937 random(2026);
    std::vector<int> indices;
    for (const auto &[index, code] : golden::kernel_keymap())
        indices.push_back(index);
    bytes stream;
    for (int k = 0; k < 3000; ++k) {
        const int index = indices[random() % indices.size()];
        stream = stream + (random() % 3 ? make_of(index) : break_of(index));
        if (random() % 50 == 0)
            stream = stream + bytes{0xE1, 0x14, 0x77, 0xE1, 0xF0, 0x14, 0xF0, 0x77};
    }
    const events whole = decode(stream).got;
    for (std::size_t piece = 1; piece <= 7; ++piece) {
        ps2event_decoder d;
        events pieces;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            const bytes chunk(stream.begin() + static_cast<long>(at),
                              stream.begin() + static_cast<long>(std::min(stream.size(), at + piece)));
            const events got = decode(chunk, d).got;
            pieces.insert(pieces.end(), got.begin(), got.end());
        }
        EXPECT_EQ(pieces, whole) << "reads of " << piece;
    }
}

} // namespace
