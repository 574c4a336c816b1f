// Helpers shared by the code conversion tests: byte strings written in
// hexadecimal, running a converter on an exact-size copy of its input, and
// glibc iconv as an independent converter.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "codeconv.h"

using converter = const char *(*)(const char *);

inline const char *name_of(converter fn)
{
    return fn == sjistojis   ? "sjistojis"
           : fn == euctojis  ? "euctojis"
           : fn == jistosjis ? "jistosjis"
           : fn == jistoeuc  ? "jistoeuc"
                             : "?";
}

// "61 1B 24" -> the three bytes.
inline std::string bytes(const char *hexbytes)
{
    std::string out;
    for (const char *s = hexbytes; *s != '\0';) {
        if (*s == ' ') {
            ++s;
            continue;
        }
        char *end = nullptr;
        out += static_cast<char>(std::strtoul(s, &end, 16));
        s = end;
    }
    return out;
}

inline std::string hex(const std::string &s)
{
    std::string out;
    char b[4];
    for (unsigned char c : s) {
        std::snprintf(b, sizeof b, out.empty() ? "%02X" : " %02X", c);
        out += b;
    }
    return out;
}

// Runs fn on a heap copy of in that ends right after its terminator, so that
// AddressSanitizer reports any read past the terminator.
inline std::string run(converter fn, const std::string &in)
{
    auto copy = std::make_unique<char[]>(in.size() + 1);
    std::memcpy(copy.get(), in.data(), in.size());
    const char *r = fn(copy.get());
    std::size_t n = std::strlen(r);
    EXPECT_LT(n, 1024u) << name_of(fn);
    return std::string(r, n);
}

// Converts in from one encoding to another with glibc iconv, including the
// final return to ASCII of a stateful encoding. Returns false when iconv
// rejects the input. Descriptors are opened once per pair of encodings and
// kept, since opening one costs far more than a short conversion.
inline bool iconv_text(const char *to, const char *from, const std::string &in, std::string &out)
{
    static struct descriptors {
        std::map<std::pair<std::string, std::string>, iconv_t> open;
        descriptors() = default;
        descriptors(const descriptors &) = delete;
        descriptors &operator=(const descriptors &) = delete;
        ~descriptors()
        {
            for (auto &entry : open)
                iconv_close(entry.second);
        }
    } cache;
    iconv_t &cd = cache.open[{to, from}];
    if (cd == iconv_t{}) {
        cd = iconv_open(to, from);
        if (cd == reinterpret_cast<iconv_t>(-1)) {
            cache.open.erase({to, from});
            throw std::runtime_error(std::string("iconv_open: ") + from + " to " + to + ": " +
                                     std::strerror(errno));
        }
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state
    out.assign(in.size() * 4 + 16, '\0');
    char *ip = const_cast<char *>(in.data());
    std::size_t il = in.size();
    char *op = out.data();
    std::size_t ol = out.size();
    bool ok = iconv(cd, &ip, &il, &op, &ol) != static_cast<std::size_t>(-1) &&
              iconv(cd, nullptr, nullptr, &op, &ol) != static_cast<std::size_t>(-1);
    out.resize(static_cast<std::size_t>(op - out.data()));
    return ok;
}

inline std::string iconv_text(const char *to, const char *from, const std::string &in)
{
    std::string out;
    if (!iconv_text(to, from, in, out))
        throw std::runtime_error(std::string("iconv rejects text for ") + to + ": " + hex(in));
    return out;
}
