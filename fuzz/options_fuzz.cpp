// Fuzz target for the command line. The input's lines are the words, each its
// own heap string, argv exactly them, so that ASan reports a read past one.
// The result must follow the options' rules: -1 for an unknown letter or a
// final -d; the last mode word and the last speed word (saturating) count; -I
// clears the handshake, -v toggles tracing; the simulator is the word after
// the last -d, the port the first word without a dash, as the very pointers.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "keyferry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string line = "keyferry\n" + std::string(data, data + size);
    std::vector<std::unique_ptr<char[]>> words;
    std::vector<const char *> found;
    for (std::size_t at = 0, end = 0; at < line.size() && words.size() <= 64; at = end + 1) {
        end = std::min(line.find('\n', at), line.size());
        words.push_back(std::make_unique<char[]>(end - at + 1));
        std::memcpy(words.back().get(), line.data() + at, end - at);
        found.push_back(words.back().get());
    }
    const std::vector<const char *> argv(found.begin(), found.end()); // no room behind the last word
    const int argc = static_cast<int>(argv.size());
    options opt, want;
    const int result = parse_options(argc, argv.data(), opt);
    int expected = 0, i = 1;
    for (; i < argc && argv[i][0] == '-' && expected == 0; ++i) {
        const char letter = argv[i][1];
        if (letter == 'r' || letter == 'i' || letter == 'I' || letter == 'c') {
            want.mode = letter == 'r' ? int{'r'} : letter == 'c' ? int{'h'} : int{'i'};
            want.init101 = letter == 'I' ? 0 : want.init101;
            want.speed = letter == 'c' ? 4800 : want.speed;
        } else if (letter >= '0' && letter <= '9') {
            unsigned long long speed = 0;
            for (const char *c = argv[i] + 1; *c >= '0' && *c <= '9' && speed <= INT_MAX; ++c)
                speed = speed * 10 + static_cast<unsigned>(*c - '0');
            want.speed = speed > INT_MAX ? INT_MAX : static_cast<int>(speed);
        } else if (letter == 'd' && i + 1 < argc) {
            want.namkbdsim = want.namuinput = argv[++i];
        } else if (letter == 'u') {
            want.uinput = 1;
        } else if (letter == 'v') {
            want.verbose ^= 1;
        } else {
            expected = -1;
        }
    }
    want.namextkey = i < argc && expected == 0 ? argv[i] : want.namextkey;
    FUZZ_CHECK(result == expected);
    if (result == 0)
        FUZZ_CHECK(opt.mode == want.mode && opt.speed == want.speed && opt.init101 == want.init101 &&
                   opt.verbose == want.verbose && opt.namkbdsim == want.namkbdsim &&
                   opt.uinput == want.uinput && opt.namuinput == want.namuinput &&
                   opt.namextkey == want.namextkey);
    return 0;
}
