#include "irkb101_link.h"

namespace {

constexpr unsigned char gap_byte = 0xFF;

void put_gap(std::vector<unsigned char> &out, std::size_t count, unsigned char next_payload)
{
    if (count == 1 && next_payload == 0x00)
        count = 2;
    out.insert(out.end(), count, gap_byte);
}

} // namespace

bool irkb101_frame(std::span<const unsigned char> payload, std::vector<unsigned char> &out,
                   const irkb101_framing &framing)
{
    if (!payload.empty() && payload[0] == gap_byte)
        return false;
    std::size_t in_run = 0;
    for (std::size_t k = 0; k < payload.size(); ++k) {
        const bool run_full = framing.pairs_per_run != 0 && in_run >= framing.pairs_per_run;
        if (k == 0 || (run_full && payload[k] != gap_byte)) {
            put_gap(out, k == 0 ? framing.lead : framing.gap, payload[k]);
            in_run = 0;
        }
        out.push_back(payload[k]);
        out.push_back(static_cast<unsigned char>(0xFF - payload[k]));
        ++in_run;
    }
    return true;
}
