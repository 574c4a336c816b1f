// The tests' golden data, in tests/golden/, written from the tables the relay
// must match and never from its own: what the handheld receives for each
// character (typing.txt, events named as the stand-in device names them),
// what each cradle key types (ps2_keys.txt), and the Linux kernel's own
// set-2 key map (atkbd_set2.txt) and US console keymap (console_us.txt).
#pragma once

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "event_device.h"

namespace golden {

// The words of each line of the golden file name, passing over blank lines
// and comments (lines that start with #).
inline std::vector<std::vector<std::string>> rows(const std::string &name)
{
    std::ifstream in(KEYFERRY_GOLDEN_DIR "/" + name);
    if (!in)
        throw std::runtime_error("tests/golden/" + name + ": cannot be read");
    std::vector<std::vector<std::string>> all;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        all.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    return all;
}

using events = std::vector<sim::key_event>;

// The events of each character 0 to 255, in order, from lines of the
// character, a colon, and each event as its key code and + or -.
inline const std::vector<events> &typing()
{
    static const std::vector<events> table = [] {
        std::vector<events> chars(256);
        int read = 0;
        for (const std::vector<std::string> &row : rows("typing.txt")) {
            events &typed = chars.at(static_cast<std::size_t>(std::stoi(row.at(0))));
            for (std::size_t k = 1; k < row.size(); ++k)
                typed.push_back(
                    {static_cast<uint8_t>(std::stoi(row[k])), static_cast<uint8_t>(row[k].back() == '+')});
            ++read;
        }
        if (read != 256)
            throw std::runtime_error("tests/golden/typing.txt: 256 characters expected");
        return chars;
    }();
    return table;
}

// The kernel's set-2 key map: the key code at each index that names a key,
// from lines of the index in hexadecimal, the code and its name.
inline const std::map<int, int> &kernel_keymap()
{
    static const std::map<int, int> map = [] {
        std::map<int, int> m;
        for (const std::vector<std::string> &row : rows("atkbd_set2.txt"))
            m[std::stoi(row.at(0), nullptr, 16)] = std::stoi(row.at(1));
        return m;
    }();
    return map;
}

// The key code at index in the kernel's set-2 key map; 0 where none is.
inline int kernel_key(int index)
{
    const auto found = kernel_keymap().find(index);
    return found == kernel_keymap().end() ? 0 : found->second;
}

// The events that type text, character after character.
inline events typing(std::string_view text)
{
    events out;
    for (char c : text) {
        const events &e = typing()[static_cast<unsigned char>(c)];
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

// Where two event lists first differ, as key code and + press / - release,
// for a failure message that does not print hundreds of thousands of events.
inline std::string first_difference(const events &got, const events &expected)
{
    size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at])
        ++at;
    if (at == got.size() && at == expected.size())
        return "none";
    auto show = [](const events &e, size_t k) {
        return k < e.size() ? std::to_string(e[k].code) + (e[k].state ? "+" : "-") : std::string("nothing");
    };
    return "event " + std::to_string(at) + " of " + std::to_string(expected.size()) + ": got " +
           show(got, at) + ", expected " + show(expected, at);
}

} // namespace golden
