// Fuzz target for the set-2 key decoder. The input is the byte stream, cut
// into reads at the places its first byte's bits choose. Every event: a key
// the map declares, a release only of a key held, a repeat only of a key
// held, a press only of a key not held. After the release of every key,
// nothing is held. The stream fed whole gives the same events.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#define KEYFERRY_FUZZ_DECODER // quiets the decoder's messages
#include "fuzz_support.h"
#include "ps2event.h"

namespace {

class checked_sink final : public key_sink {
public:
    checked_sink()
    {
        static unsigned char all[ps2event_max_key + 1];
        ps2event_declare(all);
        declared = all;
    }

    void key(int code, int value) override
    {
        FUZZ_CHECK(code > 0 && code <= ps2event_max_key && declared[code]);
        FUZZ_CHECK(value == 0 || value == 1 || value == 2);
        FUZZ_CHECK(value == 1 ? !held[code] : held[code]);
        held[code] = value != 0;
        events.emplace_back(code, value);
    }

    const unsigned char *declared;
    bool held[ps2event_max_key + 1] = {};
    std::vector<std::pair<int, int>> events;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const unsigned cuts = data[0];
    const unsigned char *stream = data + 1;
    const int n = static_cast<int>(size - 1);

    checked_sink pieces, whole;
    ps2event_decoder a, b;
    int at = 0;
    for (int piece = 0; at < n; ++piece) {
        const int length = std::min(n - at, 1 + static_cast<int>((cuts >> (piece % 8)) & 3) * (piece + 1));
        a.convert(length, stream + at, pieces);
        at += length;
    }
    b.convert(n, stream, whole);
    FUZZ_CHECK(pieces.events == whole.events);
    for (int code = 0; code <= ps2event_max_key; ++code)
        FUZZ_CHECK(a.down[code] == pieces.held[code]);

    a.release_all(pieces);
    for (int code = 0; code <= ps2event_max_key; ++code)
        FUZZ_CHECK(!a.down[code] && !pieces.held[code]);
    return 0;
}
