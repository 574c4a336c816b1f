// IrKB101 virtual keyboard, link side: wraps scan codes in the keyboard's
// byte-and-complement framing, and answers the relay's initialisation
// strings the way a working, or a misbehaving, keyboard would. Pure: no I/O
// and no sleeping; the caller supplies the time and moves the bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace sim {

// How a byte stream is cut into runs of pairs.
struct irkb101_framing {
    std::size_t pairs_per_run = 0; // 0: the whole payload in one run
    std::size_t gap = 1;           // 0xFF bytes between two runs
    std::size_t lead = 1;          // 0xFF bytes before the first run
};

// Appends each payload byte b as the pair b, 0xFF - b, in runs separated by
// 0xFF bytes, none after the last run (a trailing 0xFF would hold the last
// run back in the relay until more arrives). Where a run may start, the relay
// takes 0xFF for a gap, so a payload 0xFF is never put at the start of a run:
// it stays in the run before it. A lone 0xFF in front of a run that starts
// with the payload 0x00 would read as the pair FF 00, so such a gap gets a
// second 0xFF. Returns false, appending nothing, when the payload starts
// with 0xFF, which no run can carry.
bool irkb101_frame(std::span<const unsigned char> payload, std::vector<unsigned char> &out,
                   const irkb101_framing &framing = {});

// What the virtual keyboard does with each init string it recognises.
struct irkb101_keyboard_behaviour {
    std::array<bool, 3> answers{true, true, true};    // which strings get a response
    std::array<std::chrono::milliseconds, 3> delay{}; // response due this long after its string
    std::vector<unsigned char> noise;                 // sent in front of every response
    std::chrono::milliseconds pause_inside{0};        // between a response's first two bytes and the rest

    static irkb101_keyboard_behaviour proper();
    static irkb101_keyboard_behaviour silent();
    static irkb101_keyboard_behaviour noisy(std::vector<unsigned char> noise);
    static irkb101_keyboard_behaviour silent_after_two(); // answers #0 and #1 only
};

// Fed the bytes the relay sends, recognises the init strings (a string is
// recognised on its last byte, whatever came before it) and queues the
// response each one earns, due at the time it arrived plus the delay. Every
// sending is answered, repeated ones included.
class irkb101_responder {
public:
    using time_point = std::chrono::steady_clock::time_point;

    explicit irkb101_responder(irkb101_keyboard_behaviour behaviour = irkb101_keyboard_behaviour::proper());

    // Takes bytes the relay sent, received at now.
    void receive(std::span<const unsigned char> bytes, time_point now);

    // When the earliest queued response is due; nothing when none is queued.
    std::optional<time_point> next_due() const;

    // Appends the bytes of every response due at or before now (its noise
    // first), earliest first, and forgets them. Returns how many it appended.
    std::size_t take_due(time_point now, std::vector<unsigned char> &out);

    // Numbers of the init strings recognised so far, in order.
    const std::vector<int> &recognised() const { return recognised_; }

private:
    struct answer {
        time_point due;
        int k;
        std::size_t from = 0; // bytes of the response already sent
    };

    void queue(const answer &a);

    irkb101_keyboard_behaviour behaviour_;
    std::vector<unsigned char> window_; // the last bytes received, at most one init string long
    std::vector<answer> queue_;         // ordered by due time, then arrival
    std::vector<int> recognised_;
};

} // namespace sim
