#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ps2_encoder.h"
#include "ps2key.h"

namespace {

using bytes = std::vector<unsigned char>;

struct result {
    bytes chars;
    std::string messages;
};

// Feeds each chunk to d in turn through a buffer of exactly its size, and
// collects the characters and everything printed.
result decode_chunks(ps2_decoder &d, const std::vector<bytes> &chunks)
{
    result r;
    testing::internal::CaptureStderr();
    for (const bytes &chunk : chunks) {
        bytes buf = chunk;
        buf.push_back(0); // keeps data() valid for an empty chunk
        const int n = d.convert(static_cast<int>(chunk.size()), buf.data());
        EXPECT_GE(n, 0);
        EXPECT_LE(n, static_cast<int>(chunk.size()));
        r.chars.insert(r.chars.end(), buf.begin(), buf.begin() + n);
    }
    r.messages = testing::internal::GetCapturedStderr();
    return r;
}

result decode(const bytes &in)
{
    auto d = std::make_unique<ps2_decoder>();
    return decode_chunks(*d, {in});
}

bytes text(const std::string &s) { return bytes(s.begin(), s.end()); }

std::string unknown(const char *hex) { return std::string("unknown keycode ") + hex + "\n"; }

// --- Typing ---------------------------------------------------------------

struct typing_case {
    const char *what;
    bytes in;
    bytes out;
    std::string messages;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const typing_case &c, std::ostream *os) { *os << c.what; }

class Typing : public testing::TestWithParam<typing_case> {};

TEST_P(Typing, DecodesToExactlyTheseCharacters)
{
    const typing_case &c = GetParam();
    const result r = decode(c.in);
    EXPECT_EQ(r.chars, c.out);
    EXPECT_EQ(r.messages, c.messages);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, Typing,
    testing::Values(
        typing_case{"make and break", {0x1C, 0xF0, 0x1C}, text("a"), ""},
        typing_case{"shift then release", {0x12, 0x1C, 0xF0, 0x1C, 0xF0, 0x12, 0x1C}, text("Aa"), ""},
        typing_case{"repeated make types each time", {0x1C, 0x1C, 0x1C, 0xF0, 0x1C}, text("aaa"), ""},
        typing_case{"ctrl 2 is NUL", {0x14, 0x1E}, {0}, ""},
        typing_case{"ctrl space is NUL", {0x14, 0x29}, {0}, ""},
        typing_case{"ctrl shift space is a space", {0x14, 0x12, 0x29}, text(" "), ""},
        typing_case{"ctrl alt space is blank", {0x14, 0x11, 0x29}, {}, ""},
        typing_case{"ctrl alt esc is blank", {0x14, 0x11, 0x76}, {}, ""},
        typing_case{"right alt with ctrl blanks esc", {0xE0, 0x14, 0xE0, 0x11, 0x76}, {}, ""},
        typing_case{"tab, and nothing with ctrl", {0x0D, 0x14, 0x0D}, {9}, ""},
        typing_case{"first of two rows for 5D wins", {0x5D}, {92}, ""},
        typing_case{"caps lock does nothing", {0x58, 0x1C, 0xF0, 0x58, 0x58, 0x1C}, text("aa"), ""},
        typing_case{"right shift release clears left", {0x12, 0x59, 0xF0, 0x59, 0x1C}, text("a"), ""},
        typing_case{"left shift release clears right", {0x59, 0x12, 0xF0, 0x12, 0x1C}, text("a"), ""},
        typing_case{"left ctrl release clears right", {0xE0, 0x14, 0x14, 0xF0, 0x14, 0x1E}, text("2"), ""},
        typing_case{
            "right alt release clears left", {0x14, 0x11, 0xE0, 0x11, 0xE0, 0xF0, 0x11, 0x29}, {0}, ""},
        typing_case{"release of an unpressed modifier", {0xF0, 0x12, 0x1C}, text("a"), ""},
        typing_case{"cursor left, no output on release", {0xE0, 0x6B, 0xE0, 0xF0, 0x6B}, {128}, ""},
        typing_case{"extended keys ignore modifiers",
                    {0x14, 0x12, 0x11, 0xE0, 0x74, 0x64, 0xE0, 0x69},
                    {129, 133, 135},
                    ""},
        typing_case{"zero byte is silent", {0x00, 0xF0, 0x00, 0x1C}, text("a"), ""},
        typing_case{"E0 00 is unknown", {0xE0, 0x00}, {}, unknown("00")},
        typing_case{"unknown codes, decoding resumes",
                    {0xAA, 0x1C, 0xFA, 0xE1, 0x32},
                    text("ab"),
                    unknown("aa") + unknown("fa") + unknown("e1")},
        typing_case{"E0 before a plain key", {0xE0, 0x12, 0x1C}, text("a"), unknown("12")},
        typing_case{
            "release of an unknown code", {0xF0, 0xAA, 0xE0, 0xF0, 0x1C}, {}, unknown("aa") + unknown("1c")},
        typing_case{"prefixes in the wrong order",
                    {0xF0, 0xE0, 0x6B, 0x1C},
                    text("a"),
                    unknown("e0") + unknown("6b")},
        typing_case{
            "E0 E0 takes the second as key byte", {0xE0, 0xE0, 0x6B}, {}, unknown("e0") + unknown("6b")},
        typing_case{"F0 F0", {0xF0, 0xF0, 0x1C}, text("a"), unknown("f0")}),
    [](const testing::TestParamInfo<typing_case> &info) {
        std::string name;
        for (const char *s = info.param.what; *s; ++s)
            name += std::isalnum(static_cast<unsigned char>(*s)) ? *s : '_';
        return name;
    });

// Every key in every modifier state, as tests/golden/ps2_keys.txt (written
// once from the cradle keyboard's key table) says it types: the modifiers of
// the column held around the key's make and break, then the key alone again.
TEST(Typing, EveryKeyInEveryColumnAsTheGoldenTableSays)
{
    std::ifstream golden(KEYFERRY_GOLDEN_DIR "/ps2_keys.txt");
    int keys = 0, cells = 0;
    for (std::string line; std::getline(golden, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string code;
        words >> code;
        bytes key;
        if (code.size() == 4)
            key.push_back(0xE0);
        key.push_back(static_cast<unsigned char>(std::stoi(code.substr(code.size() - 2), nullptr, 16)));
        std::string column_says[8];
        for (std::string &cell : column_says)
            words >> cell;
        ++keys;
        for (int column = 0; column < 8; ++column) {
            if (!std::isdigit(static_cast<unsigned char>(column_says[column][0])))
                continue; // types nothing, or a modifier: nothing to see here
            const unsigned char mods[] = {0x12, 0x14, 0x11}; // Shift, Ctrl, Alt
            bytes in;
            for (int bit = 0; bit < 3; ++bit)
                if (column & (1 << bit))
                    in.push_back(mods[bit]);
            in.insert(in.end(), key.begin(), key.end());
            in.insert(in.end(), key.begin(), key.end() - 1);
            in.push_back(0xF0);
            in.push_back(key.back());
            for (int bit = 2; bit >= 0; --bit)
                if (column & (1 << bit)) {
                    in.push_back(0xF0);
                    in.push_back(mods[bit]);
                }
            in.insert(in.end(), key.begin(), key.end());
            bytes expected = {static_cast<unsigned char>(std::stoi(column_says[column]))};
            if (std::isdigit(static_cast<unsigned char>(column_says[0][0])))
                expected.push_back(static_cast<unsigned char>(std::stoi(column_says[0])));
            const result r = decode(in);
            EXPECT_EQ(r.chars, expected) << "key " << code << ", column " << column;
            EXPECT_EQ(r.messages, "") << "key " << code;
            ++cells;
        }
    }
    EXPECT_EQ(keys, 71);
    EXPECT_GT(cells, 400);
}

// --- Carry-over between chunks --------------------------------------------

// Typing, extended keys, unknown and misordered sequences and the zero byte.
bytes mixed_stream()
{
    bytes s;
    ps2_encode_text("The quick brown fox: 1+1=2?\r\x80\x81\x82\x83\x84\x85\x86\x87~|\x1f", s);
    const bytes odd = {0xAA, 0xE0, 0x12, 0xF0, 0xE0, 0x6B, 0x00, 0xE0, 0x00, 0xF0, 0xAA, 0xFA, 0xE1,
                       0x14, 0x11, 0x29, 0x76, 0x12, 0x29, 0xF0, 0x12, 0xF0, 0x11, 0xF0, 0x14};
    s.insert(s.begin() + 40, odd.begin(), odd.end());
    bytes tail;
    ps2_encode_text("Ok.", tail);
    s.insert(s.end(), tail.begin(), tail.end());
    s.push_back(0xE0); // an unfinished sequence at the very end
    s.push_back(0xF0);
    return s;
}

TEST(CarryOver, EverySplitPointGivesTheSameResult)
{
    const bytes s = mixed_stream();
    const result whole = decode(s);
    ASSERT_NE(whole.messages, "");
    ASSERT_GT(whole.chars.size(), 30u);

    for (std::size_t k = 0; k <= s.size(); ++k) {
        auto d = std::make_unique<ps2_decoder>();
        const result split = decode_chunks(*d, {bytes(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(k)),
                                                bytes(s.begin() + static_cast<std::ptrdiff_t>(k), s.end())});
        ASSERT_EQ(split.chars, whole.chars) << "split at " << k;
        ASSERT_EQ(split.messages, whole.messages) << "split at " << k;
    }
}

TEST(CarryOver, PrefixesWaitForTheKeyByte)
{
    struct split_case {
        std::vector<bytes> chunks;
        bytes out;
    };
    const split_case cases[] = {
        {{{0xE0}, {0x6B}}, {128}},
        {{{0xE0, 0xF0}, {0x6B}}, {}},
        {{{0xE0}, {0xF0, 0x6B}}, {}},
        {{{0xF0}, {0x1C}}, {}},
        {{{0xE0}, {}, {0x6B}}, {128}},
        {{{0xE0, 0xF0}, {}, {}, {0x6B, 0x1C}}, text("a")},
        {{{0x12, 0xE0}, {0x6B, 0x1C}}, {128, 'A'}},
    };
    for (const split_case &c : cases) {
        auto d = std::make_unique<ps2_decoder>();
        const result r = decode_chunks(*d, c.chunks);
        EXPECT_EQ(r.chars, c.out);
        EXPECT_EQ(r.messages, "");
    }
}

TEST(CarryOver, EmptyAndNegativeCallsKeepTheCarriedPrefix)
{
    auto d = std::make_unique<ps2_decoder>();
    unsigned char buf[4] = {0xE0};
    EXPECT_EQ(d->convert(1, buf), 0);
    EXPECT_EQ(d->p, 1);
    EXPECT_EQ(d->convert(0, buf), 0);
    EXPECT_EQ(d->convert(-5, buf), 0);
    EXPECT_EQ(d->p, 1);
    buf[0] = 0x6B;
    ASSERT_EQ(d->convert(1, buf), 1);
    EXPECT_EQ(buf[0], 128);
    EXPECT_EQ(d->p, 0);
}

// --- Capacity ---------------------------------------------------------------

const std::string overflow = "keyferry: ps2conv: buffer overflow\n";

TEST(Capacity, ReadsThatFillTheRoomLoseNothing)
{
    // Nothing carried: a whole buffer's worth, in silence.
    const result full = decode(bytes(8192, 0x1C));
    EXPECT_EQ(full.chars, bytes(8192, 'a'));
    EXPECT_EQ(full.messages, "");

    // One or two prefix bytes carried: a chunk of exactly the room left is
    // decoded to its last byte.
    for (const bytes &carried : {bytes{0xF0}, bytes{0xE0, 0xF0}}) {
        auto d = std::make_unique<ps2_decoder>();
        decode_chunks(*d, {carried});
        ASSERT_EQ(d->room(), 8192 - static_cast<int>(carried.size()));
        bytes chunk(static_cast<size_t>(d->room()), 0x1C);
        chunk[0] = carried.size() == 1 ? 0x1C : 0x6B; // completes the carried release
        chunk.back() = 0x32;
        const result r = decode_chunks(*d, {chunk});
        bytes expected(chunk.size() - 2, 'a');
        expected.push_back('b');
        EXPECT_EQ(r.chars, expected) << carried.size() << " carried";
        EXPECT_EQ(r.messages, "");
        EXPECT_EQ(d->room(), 8192);
    }
}

TEST(Capacity, InputBeyondTheRoomIsDroppedAndReported)
{
    // One byte carried: the last byte of a full-size chunk ('c') is dropped.
    auto d = std::make_unique<ps2_decoder>();
    bytes chunk(8190, 0x1C);
    chunk.push_back(0x32);
    chunk.push_back(0x21);
    const result r = decode_chunks(*d, {{0xF0}, chunk, {0x23}});
    bytes expected(8189, 'a'); // the first 1C is the release the carried F0 waited for
    expected.push_back('b');
    expected.push_back('d');
    EXPECT_EQ(r.chars, expected);
    EXPECT_EQ(r.messages, overflow);
}

TEST(Capacity, UnfinishedSequenceAtTheEndOfAFullBufferIsCarried)
{
    auto d = std::make_unique<ps2_decoder>();
    bytes chunk(8190, 0x1C);
    chunk.push_back(0xE0);
    chunk.push_back(0xF0);
    chunk.push_back(0x99); // beyond the room: dropped
    const result r = decode_chunks(*d, {chunk, {0x6B, 0x1C}});
    bytes expected(8191, 'a');
    EXPECT_EQ(r.chars, expected);
    EXPECT_EQ(r.messages, overflow);
    EXPECT_EQ(d->p, 0);
}

TEST(Capacity, OversizedInputIsCutAtTheBuffer)
{
    bytes buf(10000, 0x1C);
    auto d = std::make_unique<ps2_decoder>();
    testing::internal::CaptureStderr();
    EXPECT_EQ(d->convert(10000, buf.data()), 8192);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), overflow);
}

// --- The process-wide instance ----------------------------------------------

TEST(Ps2conv, KeepsItsStateBetweenCalls)
{
    unsigned char buf[8] = {0x12, 0xE0};
    EXPECT_EQ(ps2conv(2, buf), 0);
    buf[0] = 0x6B;
    buf[1] = 0x1C;
    ASSERT_EQ(ps2conv(2, buf), 2);
    EXPECT_EQ(buf[0], 128);
    EXPECT_EQ(buf[1], 'A');
    buf[0] = 0xF0;
    buf[1] = 0x12;
    EXPECT_EQ(ps2conv(2, buf), 0);
}

} // namespace
