// The US translation against the kernel's own console keymap
// (tests/golden/console_us.txt, read out of a running kernel with KDGKBENT):
// the keys typed for each byte, put through that keymap, must give the
// byte back, as the console of a Linux host would.
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>
#include <map>
#include <string>
#include <vector>

#include "golden.h"
#include "uskeys.h"

namespace {

// Keysym types of the console (linux/keyboard.h), and the two specials used.
constexpr int kt_latin = 0, kt_spec = 2, kt_cur = 6, kt_letter = 11;
constexpr int k_enter = 1;

// The console's keysyms of each key: plain, with Shift, with Ctrl, both.
struct console_key {
    int sym[4];
};

const std::map<int, console_key> &console_map()
{
    static const std::map<int, console_key> map = [] {
        std::map<int, console_key> m;
        for (const std::vector<std::string> &row : golden::rows("console_us.txt")) {
            console_key &k = m[std::stoi(row.at(0))];
            for (int table = 0; table < 4; ++table)
                k.sym[table] = std::stoi(row.at(1 + static_cast<std::size_t>(table)), nullptr, 16);
        }
        return m;
    }();
    return map;
}

// What the console sends for the key events of one character: a press with
// Shift or Ctrl held looks up that table; releases send nothing.
std::string console_text(const unsigned char *events, int count)
{
    bool shift = false, ctrl = false;
    std::string text;
    for (int e = 0; e < count; ++e) {
        const int code = events[2 * e], pressed = events[2 * e + 1];
        if (code == KEY_LEFTSHIFT || code == KEY_RIGHTSHIFT) {
            shift = pressed;
            continue;
        }
        if (code == KEY_LEFTCTRL || code == KEY_RIGHTCTRL) {
            ctrl = pressed;
            continue;
        }
        if (!pressed)
            continue;
        const auto found = console_map().find(code);
        if (found == console_map().end())
            return "<key " + std::to_string(code) + " not in the keymap>";
        const int sym = found->second.sym[(shift ? 1 : 0) + (ctrl ? 2 : 0)];
        const int type = sym >> 8, value = sym & 0xff;
        if (type == kt_latin || type == kt_letter)
            text += static_cast<char>(value);
        else if (type == kt_spec && value == k_enter)
            text += '\r';
        else if (type == kt_cur)
            text += std::string("\033[") + "BDCA"[value & 3];
        else
            text += "<keysym " + std::to_string(sym) + ">";
    }
    return text;
}

std::string typed(int ch)
{
    unsigned char events[16];
    const int count = char2uskey(ch, events);
    return console_text(events, count);
}

TEST(UsKeys, EveryAsciiByteComesBackFromTheConsole)
{
    ASSERT_GT(console_map().size(), 50u) << "tests/golden/console_us.txt missing or cut short";
    for (int ch = 0; ch < 128; ++ch)
        EXPECT_EQ(typed(ch), std::string(1, static_cast<char>(ch))) << ch;
}

TEST(UsKeys, CursorBytesAreTheConsolesCursorKeys)
{
    EXPECT_EQ(typed(128), "\033[D");
    EXPECT_EQ(typed(129), "\033[C");
    EXPECT_EQ(typed(130), "\033[A");
    EXPECT_EQ(typed(131), "\033[B");
}

// Keys 132 to 135 come back from a real console in the system test; here,
// only that nothing past them types anything.
TEST(UsKeys, BytesPastTheExtendedCharactersTypeNothing)
{
    unsigned char events[16];
    for (int ch : {136, 200, 255, -1, 256})
        EXPECT_EQ(char2uskey(ch, events), 0) << ch;
}

} // namespace
