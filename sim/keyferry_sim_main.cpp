// keyferry-sim: types text on a virtual keyboard through the real relay into
// a stand-in simulator device, and shows what the handheld received.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runner.h"

namespace {

const char *self = "keyferry-sim";

void help(FILE *to)
{
    std::fprintf(to, "usage: %s [--mode MODE] [--relay PATH] [--trace] [--line-rate] TEXT...\n", self);
    std::fprintf(to, "  --mode MODE   keyboard to type on:");
    for (const std::string &mode : sim::keyboard_modes())
        std::fprintf(to, " %s", mode.c_str());
    std::fprintf(to, " (default raw)\n");
    std::fprintf(to, "  --relay PATH  relay binary (default: keyferry beside this program)\n");
    std::fprintf(to, "  --trace       print every key event the device receives, and the relay's messages\n");
    std::fprintf(to, "  --line-rate   send at the keyboard's line rate, not as fast as possible\n");
    std::fprintf(to, "Exits 0 exactly when the text received equals the text typed.\n");
}

void print_trace(const std::vector<sim::key_event> &events)
{
    sim::event_decoder decoder;
    for (const sim::key_event &event : events) {
        decoder.feed(event);
        int completed = decoder.completions().back();
        std::string line = "  " + sim::describe(event);
        if (completed >= 0)
            line += std::string(24 - std::min<size_t>(line.size(), 23), ' ') + "=> " +
                    sim::printable(decoder.text().substr(static_cast<size_t>(completed), 1));
        std::printf("%s\n", line.c_str());
    }
}

} // namespace

int main(int argc, char *argv[])
{
    std::string mode = "raw";
    std::string relay = sim::default_relay_path();
    bool trace = false;
    sim::send_plan plan;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--mode" && i + 1 < argc) {
            mode = argv[++i];
        } else if (arg == "--relay" && i + 1 < argc) {
            relay = argv[++i];
        } else if (arg == "--trace") {
            trace = true;
        } else if (arg == "--line-rate") {
            plan.line_rate = true;
        } else if (arg == "--help") {
            help(stdout);
            return 0;
        } else if (arg == "--") {
            words.insert(words.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
            help(stderr);
            return 2;
        } else {
            words.push_back(arg);
        }
    }
    std::string text;
    for (const std::string &word : words)
        text += (text.empty() ? "" : " ") + word;

    auto keyboard = sim::make_keyboard(mode);
    if (!keyboard) {
        std::fprintf(stderr, "%s: %s: no such keyboard mode\n", self, mode.c_str());
        return 2;
    }
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 128) {
            std::fprintf(stderr, "%s: only ASCII text can be typed\n", self);
            return 2;
        }
    }

    sim::relay_session session(*keyboard, relay);
    std::vector<sim::key_event> events;
    bool ok = session.start() && session.wait_ready() && session.type_and_collect(text, events, plan);
    int status = session.hang_up();

    sim::event_decoder decoder;
    decoder.feed(events);
    std::printf("%s mode, relay %s\n", keyboard->mode().data(), relay.c_str());
    if (trace) {
        std::printf("events:\n");
        print_trace(events);
    }
    if (trace && !session.messages().empty())
        std::printf("relay said:\n%s", session.messages().c_str());
    std::printf("typed:    %s\n", sim::printable(text).c_str());
    std::printf("received: %s\n", sim::printable(decoder.text()).c_str());
    for (const std::string &fault : decoder.faults())
        std::printf("fault:    %s\n", fault.c_str());
    if (!ok || status != 0) {
        std::fprintf(stderr, "%s: the relay did not finish the run (exit status %d); its messages:\n%s", self,
                     status, session.messages().c_str());
        return 1;
    }
    return decoder.text() == text && decoder.faults().empty() ? 0 : 1;
}
