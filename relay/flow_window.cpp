#include "relay/flow_window.hpp"

#include <algorithm>

#include "framing/length_header.hpp"

namespace brindock {
namespace {

// Pays, in order, for the unpaid packets that the credit now covers.
void pay_what_credit_covers(flow_window& window)
{
    while (window.unpaid_count > 0) {
        const unpaid_packet& oldest = window.unpaid[window.unpaid_first];
        if (oldest.cost > window.credit) {
            return;
        }
        window.credit -= oldest.cost;
        window.sendable += oldest.framed;
        window.unpaid_first = (window.unpaid_first + 1) % most_unpaid;
        --window.unpaid_count;
    }
}

}  // namespace

std::size_t window_read_limit(const flow_window& window, bool breaking_deadlock)
{
    if (!window.on) {
        return max_output_payload;
    }
    if (window.unpaid_count == 0 && window.credit > 0) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(window.credit, max_output_payload));
    }
    return breaking_deadlock && window.unpaid_count < most_unpaid ? max_output_payload : 0;
}

void window_note_packet(flow_window& window, std::size_t framed, std::size_t cost)
{
    if (!window.on) {
        return;
    }
    if (window.unpaid_count == 0 && cost <= window.credit) {
        window.credit -= cost;
        window.sendable += framed;
        return;
    }
    unpaid_packet& newest =
        window.unpaid[(window.unpaid_first + window.unpaid_count + most_unpaid - 1) % most_unpaid];
    // A packet of the relay's own costs nothing: it goes with the one before.
    if (cost == 0) {
        newest.framed += static_cast<std::uint32_t>(framed);
        return;
    }
    window.unpaid[(window.unpaid_first + window.unpaid_count) % most_unpaid] = {
        static_cast<std::uint32_t>(framed), static_cast<std::uint32_t>(cost)};
    ++window.unpaid_count;
}

void window_grant(flow_window& window, std::uint32_t credit)
{
    window.credit += credit;
    pay_what_credit_covers(window);
}

std::uint64_t window_send_limit(const flow_window& window)
{
    return window.on ? window.sendable : UINT64_MAX;
}

void window_note_sent(flow_window& window, std::uint64_t bytes)
{
    window.sendable -= std::min(window.sendable, bytes);
}

void window_lift(flow_window& window)
{
    window.on = false;
}

}  // namespace brindock
