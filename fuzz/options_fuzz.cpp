// Fuzz target for the command-line parser. The input is split into words at
// line feeds; each word is its own heap string and argv holds exactly the
// words, so that AddressSanitizer reports a read past a word's terminator or
// past the last word. Checked against the rules the options follow: the
// answer is 0 or -1, and -1 exactly when a word's letter is unknown or -d is
// the last word; the mode is 'r', 'i' or 'h' and the last mode word decides
// it; the speed is what the last speed word says, saturating at INT_MAX;
// -I clears the handshake; -v toggles; the simulator path is the word after
// the last -d and the port the first word without a dash, the very pointers
// from argv, or else the defaults.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "keyferry.h"

namespace {

constexpr std::size_t most_words = 64;

// The value a speed word gives: its decimal digits after the dash, as far as
// they go, or INT_MAX when that is more.
int speed_of(const char *word)
{
    const char *digits = word + 1;
    while (*digits == '0')
        ++digits;
    std::size_t count = 0;
    while (digits[count] >= '0' && digits[count] <= '9')
        ++count;
    if (count > 10)
        return INT_MAX;
    unsigned long long value = 0;
    for (std::size_t k = 0; k < count; ++k)
        value = value * 10 + static_cast<unsigned>(digits[k] - '0');
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

struct expectation {
    int result = 0;
    options opt;
};

// What the words should give, option by option.
expectation expect(int argc, const char *const argv[])
{
    expectation e;
    options &o = e.opt;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const int letter = static_cast<unsigned char>(argv[i][1]);
        if (letter == 'r' || letter == 'i' || letter == 'I') {
            o.mode = letter == 'r' ? int{'r'} : int{'i'};
            if (letter == 'I')
                o.init101 = 0;
        } else if (letter == 'c') {
            o.mode = 'h';
            o.speed = 4800;
        } else if (letter >= '0' && letter <= '9') {
            o.speed = speed_of(argv[i]);
        } else if (letter == 'd' && i + 1 < argc) {
            o.namkbdsim = argv[++i];
        } else if (letter == 'v') {
            o.verbose ^= 1;
        } else {
            e.result = -1;
            return e;
        }
    }
    if (i < argc)
        o.namextkey = argv[i];
    return e;
}

bool points_into(const char *p, int argc, const char *const argv[])
{
    for (int k = 1; k < argc; ++k) {
        if (p == argv[k])
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::unique_ptr<char[]>> words;
    words.push_back(std::make_unique<char[]>(sizeof "keyferry"));
    std::memcpy(words.back().get(), "keyferry", sizeof "keyferry");
    for (std::size_t at = 0; at <= size && words.size() <= most_words;) {
        const auto *end = static_cast<const std::uint8_t *>(std::memchr(data + at, '\n', size - at));
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - (data + at)) : size - at;
        if (end == nullptr && length == 0)
            break; // no empty word at the end of the input
        words.push_back(std::make_unique<char[]>(length + 1));
        std::memcpy(words.back().get(), data + at, length);
        words.back()[length] = '\0';
        at += length + 1;
    }
    const int argc = static_cast<int>(words.size());
    auto argv = std::make_unique<const char *[]>(words.size());
    for (std::size_t k = 0; k < words.size(); ++k)
        argv[k] = words[k].get();

    options opt;
    const options defaults;
    const int result = parse_options(argc, argv.get(), opt);

    FUZZ_CHECK(result == 0 || result == -1);
    FUZZ_CHECK(opt.mode == 'r' || opt.mode == 'i' || opt.mode == 'h');
    FUZZ_CHECK(opt.speed >= 0);
    FUZZ_CHECK(opt.init101 == 0 || opt.init101 == 1);
    FUZZ_CHECK(opt.verbose == 0 || opt.verbose == 1);
    FUZZ_CHECK(opt.namkbdsim == defaults.namkbdsim || points_into(opt.namkbdsim, argc, argv.get()));
    FUZZ_CHECK(opt.namextkey == defaults.namextkey || points_into(opt.namextkey, argc, argv.get()));

    const expectation e = expect(argc, argv.get());
    FUZZ_CHECK(result == e.result);
    if (result == 0) {
        FUZZ_CHECK(opt.mode == e.opt.mode);
        FUZZ_CHECK(opt.speed == e.opt.speed);
        FUZZ_CHECK(opt.init101 == e.opt.init101);
        FUZZ_CHECK(opt.verbose == e.opt.verbose);
        FUZZ_CHECK(opt.namkbdsim == e.opt.namkbdsim);
        FUZZ_CHECK(opt.namextkey == e.opt.namextkey);
    }
    return 0;
}
