// The relay core on its own: key translation, event writes and their trace,
// the hexadecimal dump, the help text and the command line.
#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <set>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "keychars.h"
#include "keyferry.h"

namespace {

using events = std::vector<std::pair<int, int>>; // (key code, 1 press / 0 release)

// One row of the handheld's typing table: the characters first..last are
// typed by holding mods (in this order) around a stroke of a key, which is
// either fixed or the character's value plus an offset. No key: no events.
struct typing_row {
    int first, last;
    std::vector<int> mods;
    std::optional<int> key;
    int offset = 0;
};

const std::vector<typing_row> typing_table = {
    {0, 0, {KEY_CTRL}, KEY_SPACE},
    {1, 7, {KEY_CTRL}, std::nullopt, 0},
    {8, 8, {}, KEY_BS},
    {9, 12, {KEY_CTRL}, std::nullopt, 0},
    {13, 13, {}, KEY_RET},
    {14, 26, {KEY_CTRL}, std::nullopt, 0},
    {27, 27, {}, KEY_CANCEL},
    {28, 31, {}, std::nullopt, -1},
    {32, 32, {}, KEY_SPACE},
    {33, 41, {KEY_SHIFT}, std::nullopt, 8},
    {42, 42, {}, KEY_ASTER},
    {43, 43, {}, KEY_PLUS},
    {44, 44, {}, KEY_COMMA},
    {45, 45, {}, KEY_MINUS},
    {46, 46, {}, KEY_PERIOD},
    {47, 47, {}, KEY_SLASH},
    {48, 48, {}, KEY_ZERO},
    {49, 57, {}, std::nullopt, -8},
    {58, 58, {}, KEY_COLON},
    {59, 59, {}, KEY_SEMI},
    {60, 60, {}, KEY_LESS},
    {61, 61, {}, KEY_EQUAL},
    {62, 62, {}, KEY_GRATER},
    {63, 63, {KEY_SHIFT}, KEY_PERIOD},
    {64, 64, {}, KEY_AT},
    {65, 90, {KEY_SHIFT}, std::nullopt, -64},
    {91, 91, {}, KEY_LBRACKET},
    {92, 92, {}, KEY_YEN},
    {93, 93, {}, KEY_RBRACKET},
    {94, 94, {}, KEY_CIRCUM},
    {95, 95, {}, KEY_USCORE},
    {96, 96, {KEY_ALT, KEY_SHIFT}, KEY_MINUS},
    {97, 122, {}, std::nullopt, -96},
    {123, 123, {}, KEY_LBRACE},
    {124, 124, {}, KEY_BAR},
    {125, 125, {}, KEY_RBRACE},
    {126, 126, {KEY_SHIFT}, KEY_ZERO},
    {127, 127, {KEY_ALT}, KEY_BS},
    {128, 128, {}, KEY_KLEFT},
    {129, 129, {}, KEY_KRIGHT},
    {130, 130, {}, KEY_KUP},
    {131, 131, {}, KEY_KDOWN},
    {132, 132, {}, KEY_HOME},
    {133, 133, {}, KEY_KANJI},
    {134, 134, {}, KEY_PRTSC},
    {135, 135, {}, KEY_MENU},
    {136, 255, {}, std::nullopt, -1},
};

// Offset -1 on a row without a key marks the characters that type nothing.
events expected_events(const typing_row &row, int ch)
{
    if (!row.key && row.offset == -1)
        return {};
    int key = row.key ? *row.key : ch + row.offset;
    events out;
    for (int mod : row.mods)
        out.emplace_back(mod, 1);
    out.emplace_back(key, 1);
    out.emplace_back(key, 0);
    for (auto mod = row.mods.rbegin(); mod != row.mods.rend(); ++mod)
        out.emplace_back(*mod, 0);
    return out;
}

events translate(int ch)
{
    unsigned char buf[event_buffer_size];
    int n = char2key(ch, buf);
    events out;
    for (int i = 0; i < n; ++i)
        out.emplace_back(buf[2 * i], buf[2 * i + 1]);
    return out;
}

TEST(KeyTranslation, EveryCharacterTypesAsItsTableRowSays)
{
    int next = 0;
    for (const typing_row &row : typing_table) {
        ASSERT_EQ(row.first, next) << "typing table rows must cover 0..255 in order";
        for (int ch = row.first; ch <= row.last; ++ch)
            EXPECT_EQ(translate(ch), expected_events(row, ch)) << "character " << ch;
        next = row.last + 1;
    }
    EXPECT_EQ(next, 256);
}

TEST(KeyTranslation, WritesTheDocumentedBytes)
{
    // Byte values as the device sees them, independent of the header's names.
    const struct {
        int ch;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {'a', {0x01, 0x01, 0x01, 0x00}},
        {'A', {0x1B, 0x01, 0x01, 0x01, 0x01, 0x00, 0x1B, 0x00}},
        {'`', {0x1E, 0x01, 0x1B, 0x01, 0x3A, 0x01, 0x3A, 0x00, 0x1B, 0x00, 0x1E, 0x00}},
        {0, {0x68, 0x01, 0x5B, 0x01, 0x5B, 0x00, 0x68, 0x00}},
        {128, {114, 1, 114, 0}},
        {129, {113, 1, 113, 0}},
    };
    for (const auto &c : cases) {
        unsigned char buf[event_buffer_size];
        int n = char2key(c.ch, buf);
        EXPECT_EQ(std::vector<unsigned char>(buf, buf + 2 * n), c.bytes) << "character " << c.ch;
    }
}

TEST(KeyTranslation, UsesExactlyTheSeventyOneDocumentedCodes)
{
    std::set<int> expected;
    auto add = [&](int lo, int hi) {
        for (int c = lo; c <= hi; ++c)
            expected.insert(c);
    };
    add(1, 31), add(34, 34), add(40, 51), add(53, 56), add(58, 59), add(62, 64), add(69, 70);
    add(72, 73), add(85, 87), add(89, 89), add(91, 91), add(95, 95), add(104, 104), add(108, 108);
    add(111, 111), add(113, 115), add(125, 126);
    ASSERT_EQ(expected.size(), 71u);

    std::set<int> used;
    for (int ch = 0; ch < 256; ++ch)
        for (auto [code, state] : translate(ch))
            used.insert(code);
    EXPECT_EQ(used, expected);
}

TEST(KeyTranslation, WritesNothingForCharactersWithoutKeys)
{
    unsigned char buf[16];
    for (int ch : {28, 31, 136, 255, -1, 256}) {
        std::fill(std::begin(buf), std::end(buf), 0xAA);
        EXPECT_EQ(char2key(ch, buf), 0) << ch;
        EXPECT_EQ(buf[0], 0xAA) << ch;
    }
}

// Captures the records written to a socket that keeps each write apart.
class event_socket {
public:
    event_socket() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0); }
    ~event_socket()
    {
        close(fds_[0]);
        close(fds_[1]);
    }
    event_socket(const event_socket &) = delete;
    event_socket &operator=(const event_socket &) = delete;
    int writer() const { return fds_[0]; }
    // Each write as it arrived; stops when none is pending.
    std::vector<std::vector<unsigned char>> writes()
    {
        std::vector<std::vector<unsigned char>> all;
        unsigned char buf[64];
        ssize_t got;
        while ((got = recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT)) >= 0)
            all.emplace_back(buf, buf + got);
        return all;
    }

private:
    int fds_[2] = {-1, -1};
};

TEST(Injection, EachEventIsOneTwoByteWriteInCharacterOrder)
{
    event_socket device;
    const unsigned char chunk[] = {'a', 30, 'B', 200};
    ascii_write(device.writer(), chunk, 4, 0);
    std::vector<std::vector<unsigned char>> expected = {
        {KEY_A, 1}, {KEY_A, 0}, {KEY_SHIFT, 1}, {KEY_B, 1}, {KEY_B, 0}, {KEY_SHIFT, 0},
    };
    EXPECT_EQ(device.writes(), expected);

    ascii_write(device.writer(), chunk, 0, 0);
    ascii_write(device.writer(), chunk, -5, 0);
    EXPECT_TRUE(device.writes().empty());
}

TEST(Injection, TraceLinePrecedesEveryEventAndNothingElse)
{
    event_socket device;
    testing::internal::CaptureStderr();
    pseudo_input(device.writer(), 'A', 1);
    pseudo_input(device.writer(), 29, 1); // types nothing, traces nothing
    pseudo_input(device.writer(), 'z', 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "keyferry: code=27(1b), PRESS\n"
              "keyferry: code=1(1), PRESS\n"
              "keyferry: code=1(1), RELEASE\n"
              "keyferry: code=27(1b), RELEASE\n");
    EXPECT_EQ(device.writes().size(), 6u);
}

TEST(Injection, FailedWritesDoNotStopTheRest)
{
    testing::internal::CaptureStderr();
    pseudo_input(-1, '~', 1);
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(trace,
              "keyferry: code=27(1b), PRESS\nkeyferry: code=50(32), PRESS\n"
              "keyferry: code=50(32), RELEASE\nkeyferry: code=27(1b), RELEASE\n");
}

TEST(Dump, PrintsEveryByteInLowerCaseHex)
{
    std::vector<unsigned char> many(600);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<unsigned char>(i * 7);
    std::string expected_many = "keyferry: DUMP";
    char cell[4];
    for (unsigned char b : many) {
        std::snprintf(cell, sizeof cell, " %02x", b);
        expected_many += cell;
    }
    expected_many += "\n";

    testing::internal::CaptureStderr();
    const unsigned char some[] = {0x00, 0xff, 0x1c, 0xe3};
    dumpbuf(4, some);
    dumpbuf(0, some);
    dumpbuf(static_cast<int>(many.size()), many.data());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "keyferry: DUMP 00 ff 1c e3\nkeyferry: DUMP\n" + expected_many);
}

TEST(Usage, HelpTextIsExact)
{
    testing::internal::CaptureStderr();
    usage();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Usage: keyferry [option]... [device]\n"
              "    options:\n"
              "\t-raw: RAW keyboard (no conversion) mode\n"
              "\t-irkb101: IrKB101+PS/2 mode\n"
              "\t-IrKB101: IrKB101+PS/2 mode without initialize\n"
              "\t-cradle: Happy Hacking Cradle+PS/2 mode\n"
              "\t-#: set serial speed [bps]\n"
              "    default:\n"
              "\tkeyferry -9600 -raw /dev/ttyS1\n");
}

struct parse_case {
    std::vector<const char *> words; // after the program name
    int result;
    int mode = 'r';
    int speed = 9600;
    std::string kbdsim = "/dev/kbdsim";
    std::string port = "/dev/ttyS1";
    int init101 = 1;
    int verbose = 0;
};

TEST(CommandLine, OptionsActInOrder)
{
    const parse_case cases[] = {
        {{}, 0},
        {{"-raw"}, 0},
        {{"-rx", "/dev/ttyUSB0"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyUSB0"},
        {{"-irkb101"}, 0, 'i'},
        {{"-IrKB101"}, 0, 'i', 9600, "/dev/kbdsim", "/dev/ttyS1", 0},
        {{"-IrKB101", "-irkb101"}, 0, 'i', 9600, "/dev/kbdsim", "/dev/ttyS1", 0},
        {{"-cradle"}, 0, 'h', 4800},
        {{"-cradle", "-9600"}, 0, 'h', 9600},
        {{"-9600", "-cradle"}, 0, 'h', 4800},
        {{"-19200"}, 0, 'r', 19200},
        {{"-96x"}, 0, 'r', 96},
        {{"-0"}, 0, 'r', 0},
        {{"-99999999999"}, 0, 'r', INT_MAX},
        {{"-d", "/tmp/dev"}, 0, 'r', 9600, "/tmp/dev"},
        {{"-d", "-raw", "/dev/ttyS0"}, 0, 'r', 9600, "-raw", "/dev/ttyS0"},
        {{"-v"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS1", 1, 1},
        {{"-v", "-verbose"}, 0},
        {{"-v", "-v", "-v"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS1", 1, 1},
        {{"/dev/ttyS0", "-cradle", "-x"}, 0, 'r', 9600, "/dev/kbdsim", "/dev/ttyS0"},
        {{"-cradle", "port", "extra"}, 0, 'h', 4800, "/dev/kbdsim", "port"},
        {{"-d"}, -1},
        {{"-raw", "-d"}, -1},
        {{"-"}, -1},
        {{"-x"}, -1},
        {{"-R"}, -1},
        {{"-cradle", "-help"}, -1},
    };
    for (const parse_case &c : cases) {
        std::vector<const char *> argv{"keyferry"};
        argv.insert(argv.end(), c.words.begin(), c.words.end());
        std::string shown;
        for (const char *w : c.words)
            shown += std::string(" ") + w;
        options opt;
        ASSERT_EQ(parse_options(static_cast<int>(argv.size()), argv.data(), opt), c.result) << shown;
        if (c.result != 0)
            continue;
        EXPECT_EQ(opt.mode, c.mode) << shown;
        EXPECT_EQ(opt.speed, c.speed) << shown;
        EXPECT_EQ(opt.namkbdsim, c.kbdsim) << shown;
        EXPECT_EQ(opt.namextkey, c.port) << shown;
        EXPECT_EQ(opt.init101, c.init101) << shown;
        EXPECT_EQ(opt.verbose, c.verbose) << shown;
    }
}

} // namespace
