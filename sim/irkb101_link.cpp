#include "irkb101_link.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

constexpr unsigned char gap_byte = 0xFF;

// The keyboard's own copy of the strings, kept apart from the relay's so that
// a slip in either shows up as a failed handshake.
constexpr unsigned char init0[] = {0xFF, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0,
                                   0xAA, 0x3F, 0x03, 0x20, 0x5A, 0x01, 0xA2, 0x00, 0x16,
                                   0x3E, 0x16, 0x14, 0x16, 0x00, 0xC2, 0x06, 0x1D};
constexpr unsigned char init1[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0,
                                   0xC0, 0xAA, 0x03, 0xF0, 0x02, 0xF1, 0x5A};
constexpr unsigned char init2[] = {0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xC0, 0xAA, 0x22, 0x00, 0x22};
constexpr unsigned char resp0[] = {0xFF, 0x55, 0x08, 0x3F, 0x37};
constexpr unsigned char resp1[] = {0xFF, 0x55, 0x08, 0x03, 0x0B};
constexpr unsigned char resp2[] = {0xFF, 0x55, 0x08, 0x22, 0x2A};

constexpr std::span<const unsigned char> inits[] = {init0, init1, init2};
constexpr std::span<const unsigned char> resps[] = {resp0, resp1, resp2};
constexpr int string_count = 3;
constexpr std::size_t longest_init = sizeof init0;

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

irkb101_keyboard_behaviour irkb101_keyboard_behaviour::proper() { return {}; }

irkb101_keyboard_behaviour irkb101_keyboard_behaviour::silent()
{
    irkb101_keyboard_behaviour b;
    b.answers = {false, false, false};
    return b;
}

irkb101_keyboard_behaviour irkb101_keyboard_behaviour::noisy(std::vector<unsigned char> noise)
{
    irkb101_keyboard_behaviour b;
    b.noise = std::move(noise);
    return b;
}

irkb101_keyboard_behaviour irkb101_keyboard_behaviour::silent_after_two()
{
    irkb101_keyboard_behaviour b;
    b.answers = {true, true, false};
    return b;
}

irkb101_responder::irkb101_responder(irkb101_keyboard_behaviour behaviour) : behaviour_(std::move(behaviour))
{
    window_.reserve(longest_init);
}

void irkb101_responder::receive(std::span<const unsigned char> bytes, time_point now)
{
    for (unsigned char b : bytes) {
        if (window_.size() == longest_init)
            window_.erase(window_.begin());
        window_.push_back(b);
        for (int k = 0; k < string_count; ++k) {
            const std::span<const unsigned char> s = inits[k];
            if (window_.size() < s.size())
                continue;
            if (!std::equal(s.begin(), s.end(), window_.end() - static_cast<std::ptrdiff_t>(s.size())))
                continue;
            recognised_.push_back(k);
            window_.clear();
            if (behaviour_.answers[static_cast<std::size_t>(k)])
                queue({now + behaviour_.delay[static_cast<std::size_t>(k)], k});
            break;
        }
    }
}

void irkb101_responder::queue(const answer &a)
{
    auto later = std::upper_bound(queue_.begin(), queue_.end(), a.due,
                                  [](time_point due, const answer &q) { return due < q.due; });
    queue_.insert(later, a);
}

std::optional<irkb101_responder::time_point> irkb101_responder::next_due() const
{
    if (queue_.empty())
        return std::nullopt;
    return queue_.front().due;
}

std::size_t irkb101_responder::take_due(time_point now, std::vector<unsigned char> &out)
{
    const std::size_t before = out.size();
    std::vector<answer> rest; // responses paused after their first two bytes
    auto it = queue_.begin();
    for (; it != queue_.end() && it->due <= now; ++it) {
        const std::span<const unsigned char> r = resps[it->k];
        std::size_t to = r.size();
        if (it->from == 0) {
            out.insert(out.end(), behaviour_.noise.begin(), behaviour_.noise.end());
            if (behaviour_.pause_inside.count() > 0) {
                to = 2;
                rest.push_back({it->due + behaviour_.pause_inside, it->k, to});
            }
        }
        out.insert(out.end(), r.begin() + static_cast<std::ptrdiff_t>(it->from),
                   r.begin() + static_cast<std::ptrdiff_t>(to));
    }
    queue_.erase(queue_.begin(), it);
    for (const answer &a : rest)
        queue(a);
    return out.size() - before;
}

} // namespace sim
