// How the decoder tests drive a decoder of the port's byte stream: chunk by
// chunk, as the relay loop reads, each chunk followed by a call without new
// bytes, which must change nothing; and what every such decoder owes a chunk
// of exactly the room it has left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace decoder_test {

using bytes = std::vector<unsigned char>;

// Bytes a decoder's buffer holds, carried ones and new ones together.
constexpr std::size_t buffer_bytes = 8192;

struct result {
    bytes out;            // what the calls put out, in order
    std::string messages; // everything printed on the standard error stream
    int carried = 0;      // bytes carried to the next call at the end
};

// Feeds each chunk in turn to d (a fresh decoder if none) through a buffer
// of the chunk's size, or of spare bytes if that is more: a decoder that may
// fill spare bytes whatever it is given is held to at most spare bytes out
// per call, one without spare (0) to at most one per byte given.
template <typename Decoder>
result feed(const std::vector<bytes> &chunks, std::size_t spare, Decoder *d = nullptr)
{
    const auto fresh = std::make_unique<Decoder>();
    d = d != nullptr ? d : fresh.get();
    result r;
    testing::internal::CaptureStderr();
    for (const bytes &chunk : chunks) {
        bytes buf = chunk;
        buf.resize(std::max<std::size_t>({buf.size(), spare, 1}), 0xEE); // data() valid when empty
        const int n = d->convert(static_cast<int>(chunk.size()), buf.data());
        EXPECT_GE(n, 0);
        EXPECT_LE(n, static_cast<int>(spare > 0 ? spare : chunk.size()));
        r.out.insert(r.out.end(), buf.begin(), buf.begin() + std::clamp(n, 0, static_cast<int>(buf.size())));
        EXPECT_EQ(d->convert(-1, buf.data()), 0);
    }
    r.messages = testing::internal::GetCapturedStderr();
    r.carried = d->p;
    return r;
}

// A decoder that has taken held (all kept for later, nothing put out) takes
// a chunk of exactly the room left, room, whole and in silence; with the
// byte beyond after it, that byte is dropped and reported as overflow.
// after finishes what room leaves unfinished; out is all that is put out,
// the same either way, and nothing is carried at the end.
struct capacity_case {
    bytes held;
    bytes room;
    unsigned char beyond;
    bytes after;
    bytes out;
};

template <typename Decoder>
void expect_capacity(const capacity_case &c, std::size_t spare, const std::string &overflow)
{
    ASSERT_EQ(c.held.size() + c.room.size(), buffer_bytes);
    for (const bool beyond : {false, true}) {
        SCOPED_TRACE(testing::Message()
                     << c.held.size() << " held, " << (beyond ? "a byte beyond" : "no more"));
        const auto d = std::make_unique<Decoder>();
        const result first = feed({c.held}, spare, d.get());
        EXPECT_EQ(first.out, bytes{});
        ASSERT_EQ(first.carried, static_cast<int>(c.held.size()));
        ASSERT_EQ(d->room(), static_cast<int>(c.room.size()));
        bytes chunk = c.room;
        if (beyond)
            chunk.push_back(c.beyond);
        const result r = feed({chunk, c.after}, spare, d.get());
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.messages, beyond ? overflow : "");
        EXPECT_EQ(r.carried, 0);
        EXPECT_EQ(d->room(), static_cast<int>(buffer_bytes));
    }
}

// Names each case of a parameterised test after its name field.
template <typename Case>
std::string case_name(const testing::TestParamInfo<Case> &info)
{
    return info.param.name;
}

} // namespace decoder_test
