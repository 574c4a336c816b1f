// The tests' oracle for what the handheld receives: the events that type each
// character, read from tests/golden/typing.txt, which was written once from
// the handheld's typing table and never from the relay's own translation.
#pragma once

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "event_device.h"

namespace golden {

using events = std::vector<sim::key_event>;

// The events of each character 0 to 255, in order.
inline const std::vector<events> &typing()
{
    static const std::vector<events> table = [] {
        std::vector<events> rows(256);
        std::ifstream in(KEYFERRY_GOLDEN_DIR "/typing.txt");
        std::string line;
        int read = 0;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            int ch = -1;
            char colon = 0;
            words >> ch >> colon;
            for (std::string event; words >> event;)
                rows.at(static_cast<size_t>(ch))
                    .push_back(
                        {static_cast<uint8_t>(std::stoi(event)), static_cast<uint8_t>(event.back() == '+')});
            ++read;
        }
        if (read != 256)
            throw std::runtime_error("tests/golden/typing.txt: 256 characters expected");
        return rows;
    }();
    return table;
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
