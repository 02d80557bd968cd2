#include "framing/channel_kinds.hpp"

#include "framing/length_header.hpp"

namespace brindock {

control_request read_control(const control_packet& packet)
{
    control_request request;
    const std::uint32_t length = packet.payload_length;
    switch (packet.kind) {
        case kind_input:
            request.verdict = control_verdict::input_after_end;
            break;
        case kind_end:
            request.verdict = length != 0        ? control_verdict::end_with_payload
                              : packet.after_end ? control_verdict::repeated_end
                                                 : control_verdict::end_of_input;
            break;
        case kind_signal:
            request.signal_number = packet.payload[0];
            request.verdict = length != 1 ? control_verdict::bad_signal_length
                              : request.signal_number < 1 || request.signal_number > highest_signal
                                  ? control_verdict::bad_signal_number
                                  : control_verdict::signal;
            break;
        case kind_window:
            request.verdict =
                length != 4 ? control_verdict::bad_window_length : control_verdict::window;
            request.credit = length == 4 ? decode_length_header(packet.payload) : 0;
            break;
        case kind_size:
            request.verdict =
                length != 4 ? control_verdict::bad_size_length : control_verdict::resize;
            if (length == 4) {
                request.rows = static_cast<unsigned>(packet.payload[0] << 8 | packet.payload[1]);
                request.columns = static_cast<unsigned>(packet.payload[2] << 8 | packet.payload[3]);
            }
            break;
        default:
            request.verdict = control_verdict::unknown_kind;
            break;
    }
    return request;
}

void encode_exit_payload(unsigned char* payload, bool by_signal, int number)
{
    payload[0] = by_signal ? 1 : 0;
    payload[1] = static_cast<unsigned char>(number);
}

}  // namespace brindock
