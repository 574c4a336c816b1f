// IrKB101 virtual keyboard, link side: wraps scan codes in the keyboard's
// byte-and-complement framing. Pure: no I/O; the caller moves the bytes.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

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
