// glibc's iconv as a converter independent of the code conversion module,
// for its tests and its benchmark: a whole text converted, and the module's
// four directions, each with iconv's names for its two encodings.
#pragma once

#include <cstddef>
#include <iconv.h>
#include <map>
#include <string>

#include "codeconv.h"

namespace iconv_oracle {

// Converts in with glibc iconv, ending in the initial state; empty if iconv
// cannot convert between the two or rejects the text. Descriptors stay open:
// opening one costs far more than converting a character.
inline std::string convert(const char *to, const char *from, const std::string &in)
{
    static auto &open = *new std::map<std::string, iconv_t>; // never destroyed: stays reachable
    iconv_t &cd = open[std::string(to) + '<' + from];
    if (cd == iconv_t{})
        cd = iconv_open(to, from);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string out(in.size() * 4 + 16, '\0');
    char *ip = const_cast<char *>(in.data()), *op = out.data();
    std::size_t il = in.size(), ol = out.size();
    if (iconv(cd, &ip, &il, &op, &ol) == static_cast<std::size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &op, &ol) == static_cast<std::size_t>(-1))
        return {};
    out.resize(static_cast<std::size_t>(op - out.data()));
    return out;
}

struct direction {
    const char *(*fn)(const char *);
    const char *from, *to;
    std::size_t whole; // the longest input that always converts whole
};

inline constexpr direction directions[] = {
    {sjistojis, "SHIFT_JIS", "ISO-2022-JP", 226},
    {euctojis, "EUC-JP", "ISO-2022-JP", 340},
    {jistosjis, "ISO-2022-JP", "SHIFT_JIS", 1023},
    {jistoeuc, "ISO-2022-JP", "EUC-JP", 1023},
};

} // namespace iconv_oracle
