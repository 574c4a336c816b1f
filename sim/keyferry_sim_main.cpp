// keyferry-sim: types text on virtual keyboards through the real relay into
// a stand-in simulator device, and shows what the handheld received: one line
// per keyboard and a summary, or every key event with --trace.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "keytrans.h"
#include "runner.h"

#ifndef KEYFERRY_VERSION
#define KEYFERRY_VERSION "unknown"
#endif

namespace {

const char *self = "keyferry-sim";
// What the relay says when it gives up the IrKB101 handshake.
const char *handshake_failure = "can't initialize IrKB101+PS/2 keyboard";

void usage(FILE *to)
{
    std::fprintf(to,
                 "usage: %s [--mode MODE[,MODE]...] [--relay PATH] [--trace] [--line-rate] [--] TEXT...\n"
                 "       %s --help | --version\n",
                 self, self);
}

void help()
{
    usage(stdout);
    std::printf(
        "Types TEXT on each virtual keyboard through the relay and prints, per keyboard,\n"
        "the text typed, the text received and OK or the first difference.\n"
        "  --mode MODES  keyboards to type on, separated by commas (default raw):\n");
    for (const sim::keyboard_mode &mode : sim::keyboard_modes())
        std::printf("    %-15s %s\n", mode.name.c_str(), mode.summary.c_str());
    std::printf(
        "  --relay PATH  relay binary (default: keyferry beside this program)\n"
        "  --trace       also print every key event and the relay's messages\n"
        "  --line-rate   send at the keyboard's line rate, not at full speed\n"
        "TEXT is ASCII without bytes 28 to 31, which the relay types as nothing.\n"
        "A keyboard that fails the handshake on purpose counts as \"failed as expected\"\n"
        "when the relay exits 1 saying it can't initialize the keyboard.\n"
        "Exit status: 0 when every keyboard did what it should, 1 when one did not,\n"
        "2 for a bad command line.\n");
}

struct settings {
    std::vector<std::string> modes;
    std::string relay = sim::default_relay_path();
    bool trace = false;
    sim::send_plan plan;
    std::string text;
};

// Appends the comma-separated modes in list; false if one is unknown.
bool add_modes(const std::string &list, std::vector<std::string> &modes)
{
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string mode = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!sim::make_keyboard(mode)) {
            std::fprintf(stderr, "%s: %s: no such keyboard mode; %s --help lists them\n", self, mode.c_str(),
                         self);
            return false;
        }
        modes.push_back(mode);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// Fills opts from the command line; returns -1 to go on, else the exit status.
int parse_command_line(int argc, char *argv[], settings &opts)
{
    std::vector<std::string> words;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--mode" && has_value) {
            if (!add_modes(argv[++i], opts.modes))
                return 2;
        } else if (arg == "--relay" && has_value) {
            opts.relay = argv[++i];
        } else if (arg == "--trace") {
            opts.trace = true;
        } else if (arg == "--line-rate") {
            opts.plan.line_rate = true;
        } else if (arg == "--help") {
            help();
            return 0;
        } else if (arg == "--version") {
            std::printf("%s %s\n", self, KEYFERRY_VERSION);
            return 0;
        } else if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--mode" || arg == "--relay") {
            std::fprintf(stderr, "%s: %s needs a value\n", self, arg.c_str());
            usage(stderr);
            return 2;
        } else if (arg[0] == '-') {
            std::fprintf(stderr, "%s: %s: unknown option\n", self, arg.c_str());
            usage(stderr);
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    words.insert(words.end(), argv + i, argv + argc);
    for (size_t w = 0; w < words.size(); ++w)
        opts.text += (w == 0 ? "" : " ") + words[w];
    if (opts.text.empty()) {
        std::fprintf(stderr, "%s: no TEXT to type\n", self);
        usage(stderr);
        return 2;
    }
    if (opts.modes.empty())
        opts.modes.push_back("raw");
    return -1;
}

// True when the relay types every character of text; otherwise says which
// one it cannot type.
bool relay_types_all(const std::string &text)
{
    std::vector<unsigned char> events(event_buffer_size);
    for (size_t at = 0; at < text.size(); ++at) {
        auto byte = static_cast<unsigned char>(text[at]);
        const char *why = nullptr;
        if (byte >= 128)
            why = "is not ASCII: only ASCII text can be typed";
        else if (char2key(byte, events.data()) == 0)
            why = "types nothing on the handheld: the relay has no key for it";
        if (why) {
            std::fprintf(stderr, "%s: character %zu of TEXT, byte %d (%s), %s\n", self, at + 1, byte,
                         sim::printable(text.substr(at, 1)).c_str(), why);
            return false;
        }
    }
    return true;
}

enum class verdict { ok, failed_as_expected, failed };

struct outcome {
    verdict result = verdict::failed;
    std::string received;
    std::string detail; // why it failed, or how it failed as expected
    std::vector<sim::key_event> events;
};

// Built by appending: g++ 12 at -O3 takes "..." + std::string for an
// overlapping copy and, with warnings as errors, fails the build.
std::string quoted(const std::string &text)
{
    std::string out(1, '"');
    out += sim::printable(text);
    out += '"';
    return out;
}

// The last line the relay wrote, for a one-line reason.
std::string last_message(const std::string &messages)
{
    std::string trimmed = messages.substr(0, messages.find_last_not_of('\n') + 1);
    size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

std::string relay_failure(int status, const std::string &messages)
{
    std::string why =
        status < 0 ? "the relay did not end" : "the relay exited with status " + std::to_string(status);
    std::string said = last_message(messages);
    return said.empty() ? why : why + ", \"" + said + "\"";
}

// Where received first differs from typed, in words.
std::string first_difference(const std::string &typed, const std::string &received)
{
    auto [t, r] = std::mismatch(typed.begin(), typed.end(), received.begin(), received.end());
    std::string at = "first difference at character " + std::to_string(t - typed.begin() + 1) + ": ";
    if (t == typed.end())
        return at + "received " + quoted(std::string(1, *r)) + " after the whole text";
    if (r == received.end())
        return at + "typed " + quoted(std::string(1, *t)) + ", received nothing more";
    return at + "typed " + quoted(std::string(1, *t)) + ", received " + quoted(std::string(1, *r));
}

// A keyboard whose handshake must fail: the relay must end with status 1,
// saying it could not initialise the keyboard, and must never get ready.
outcome expect_handshake_failure(sim::relay_session &session)
{
    outcome out;
    if (session.wait_ready()) {
        session.hang_up();
        out.detail = "the handshake was to fail, but the relay started";
        return out;
    }
    int status = session.wait_exit(std::chrono::seconds(10));
    std::string messages = session.messages();
    if (status == 1 && messages.find(handshake_failure) != std::string::npos) {
        out.result = verdict::failed_as_expected;
        out.detail = relay_failure(status, messages);
    } else {
        out.detail = std::string("the relay was to exit 1 with \"") + handshake_failure + "\", but " +
                     relay_failure(status, messages);
    }
    return out;
}

outcome round_trip(sim::relay_session &session, const std::string &text, const sim::send_plan &plan)
{
    outcome out;
    bool ran = session.wait_ready() && session.type_and_collect(text, out.events, plan);
    int status = session.hang_up();
    sim::event_decoder decoder;
    decoder.feed(out.events);
    out.received = decoder.text();
    if (!ran || status != 0)
        out.detail = relay_failure(status, session.messages());
    else if (out.received != text)
        out.detail = first_difference(text, out.received);
    else if (!decoder.faults().empty())
        out.detail = decoder.faults().front();
    else
        out.result = verdict::ok;
    return out;
}

void print_trace(const std::vector<sim::key_event> &events)
{
    sim::event_decoder decoder;
    for (const sim::key_event &event : events) {
        decoder.feed(event);
        int completed = decoder.completions().back();
        std::string line = "    " + sim::describe(event);
        if (completed >= 0)
            line += std::string(26 - std::min<size_t>(line.size(), 25), ' ') + "=> " +
                    sim::printable(decoder.text().substr(static_cast<size_t>(completed), 1));
        std::printf("%s\n", line.c_str());
    }
}

void print_indented(FILE *to, const std::string &text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::fprintf(to, "    %.*s\n", static_cast<int>(end - start), text.data() + start);
        start = end + 1;
    }
}

// Runs one keyboard and prints its line (and, with --trace, its events and
// the relay's messages); returns the verdict.
verdict run_keyboard(const std::string &mode, const settings &opts, int mode_width)
{
    auto board = sim::make_keyboard(mode);
    sim::relay_session session(*board, opts.relay);
    outcome out;
    if (!session.start())
        out.detail = "could not start the relay " + opts.relay;
    else if (board->fails_handshake())
        out = expect_handshake_failure(session);
    else
        out = round_trip(session, opts.text, opts.plan);

    std::string received = out.received.empty() ? "nothing" : quoted(out.received);
    std::string result = out.result == verdict::ok                   ? "OK"
                         : out.result == verdict::failed_as_expected ? "failed as expected: " + out.detail
                                                                     : "FAILED: " + out.detail;
    std::printf("%-*s typed %s  received %s  %s\n", mode_width, mode.c_str(), quoted(opts.text).c_str(),
                received.c_str(), result.c_str());
    std::string messages = session.messages();
    if (opts.trace) {
        if (!out.events.empty()) {
            std::printf("  events:\n");
            print_trace(out.events);
        }
        if (!messages.empty()) {
            std::printf("  relay said:\n");
            print_indented(stdout, messages);
        }
    } else if (out.result == verdict::failed && !messages.empty()) {
        std::fprintf(stderr, "  %s relay said:\n", mode.c_str());
        print_indented(stderr, messages);
    }
    std::fflush(stdout);
    return out.result;
}

} // namespace

int main(int argc, char *argv[])
{
    settings opts;
    if (int status = parse_command_line(argc, argv, opts); status >= 0)
        return status;
    if (!relay_types_all(opts.text))
        return 2;

    int mode_width = 0;
    for (const std::string &mode : opts.modes)
        mode_width = std::max(mode_width, static_cast<int>(mode.size()));
    if (opts.trace)
        std::printf("relay %s\n", opts.relay.c_str());

    int ok = 0, expected = 0;
    std::string failed;
    for (const std::string &mode : opts.modes) {
        switch (run_keyboard(mode, opts, mode_width)) {
        case verdict::ok:
            ++ok;
            break;
        case verdict::failed_as_expected:
            ++expected;
            break;
        case verdict::failed:
            failed += (failed.empty() ? "" : ", ") + mode;
            break;
        }
    }
    std::printf("%zu keyboard%s: %d OK", opts.modes.size(), opts.modes.size() == 1 ? "" : "s", ok);
    if (expected > 0)
        std::printf(", %d failed as expected", expected);
    if (!failed.empty())
        std::printf(", FAILED: %s", failed.c_str());
    std::printf("\n");
    return failed.empty() ? 0 : 1;
}
