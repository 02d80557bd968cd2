// Fuzzes framing/: the fuzzer picks a byte stream, the reader's buffer size
// and the size of every exact read and of every batch that waits; a decoding
// written here, apart from the reader, says which bytes are headers and
// bodies, where the input ends, what the reader may ask for at each point and
// how much of a batch it may consume. Encoded headers must decode back. The
// same stream is read once more with kinds, as channel mode does, against a
// decoding of kinds written here as well.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framing/length_header.hpp"
#include "framing/packet_reader.hpp"

namespace {

using namespace brindock;

void require(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "framing fault: %s\n", what);
        std::abort();
    }
}

// A header or a body as the stream lays it out; `end` may lie beyond the
// stream when it is cut.
struct span {
    std::size_t begin, end;
    bool header;
};

struct decoding {
    std::vector<span> spans;
    std::string bodies;
    std::size_t input_end = SIZE_MAX;  // just past the end-of-input packet, if any
};

decoding decode(const std::string& stream)
{
    decoding d;
    std::size_t at = 0;
    while (at < stream.size()) {
        d.spans.push_back({at, at + 4, true});
        if (stream.size() - at < 4) {
            break;
        }
        const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + at);
        const std::size_t length =
            (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
        at += 4;
        if (length == 0) {
            d.input_end = at;
            break;
        }
        d.spans.push_back({at, at + length, false});
        d.bodies += stream.substr(at, length);
        at += length;
    }
    return d;
}

struct outcome {
    std::string bodies;
    std::size_t input_end = SIZE_MAX;
    std::vector<std::size_t> chunks;  // sizes of the body reads
};

// Feeds `stream` to a fresh reader the way the relay does, checking each
// request and each answer against the decoding.
template <typename Choose>
outcome feed(const std::string& stream, const decoding& d, std::size_t buffer_size, Choose choose)
{
    outcome o;
    packet_reader reader;
    std::size_t at = 0;
    for (std::size_t k = 0; at < stream.size();) {
        const span& s = d.spans[k];
        const std::size_t ask = next_read_size(reader, buffer_size);
        require(ask >= 1, "asks for nothing");
        require(ask <= buffer_size, "asks beyond the buffer");
        require(ask <= s.end - at, s.header ? "asks beyond the header" : "asks beyond the body");
        const std::size_t count = std::min(choose(ask), stream.size() - at);
        std::string bytes = stream.substr(at, count);
        const batch taken =
            take_batch(reader, reinterpret_cast<unsigned char*>(bytes.data()), count);
        at += count;
        require(taken.end_of_input == (at == d.input_end), "end-of-input packet misplaced");
        require(taken.body_bytes == (s.header ? 0 : count), "bytes taken as the wrong kind");
        if (!s.header) {
            o.bodies.append(bytes);
            o.chunks.push_back(count);
        } else if (taken.end_of_input) {
            o.input_end = at;
            break;
        }
        if (at == s.end) {
            ++k;
        }
    }
    return o;
}

// Feeds `stream` in batches, as many bytes waiting each time as `choose` says:
// all of them may be consumed, or exactly up to the end of input when it lies
// among them, and the bodies they hold come out at the front, in order.
template <typename Choose>
outcome feed_batches(const std::string& stream, const decoding& d, Choose choose)
{
    outcome o;
    packet_reader reader;
    for (std::size_t at = 0; at < stream.size();) {
        std::string waiting = stream.substr(at, choose(stream.size() - at));
        auto* bytes = reinterpret_cast<unsigned char*>(waiting.data());
        const bool ends_here = d.input_end > at && d.input_end <= at + waiting.size();
        const std::size_t allowed = consumable_size(reader, bytes, waiting.size());
        require(allowed == (ends_here ? d.input_end - at : waiting.size()),
                "consumes the wrong amount");
        const batch taken = take_batch(reader, bytes, allowed);
        require(taken.end_of_input == ends_here, "end of input misplaced in a batch");
        require(taken.body_bytes <= allowed, "more body than bytes");
        o.bodies.append(waiting, 0, taken.body_bytes);
        at += allowed;
        if (ends_here) {
            o.input_end = at;
            break;
        }
    }
    return o;
}

void check_headers(const std::string& stream)
{
    for (std::size_t i = 0; i + 4 <= stream.size(); ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + i);
        const std::uint32_t value = decode_length_header(b);
        require(value == ((std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
                          (std::uint32_t{b[2]} << 8) | b[3]),
                "header decodes wrongly");
        unsigned char out[6] = {0xa5, 0, 0, 0, 0, 0x5a};
        encode_length_header(out + 1, value);
        require(std::memcmp(out + 1, b, 4) == 0, "header does not encode back");
        require(out[0] == 0xa5 && out[5] == 0x5a, "encoding writes outside its 4 bytes");
    }
}

// Channel mode: the input passed on, and each other whole packet as
// "kind/payload length/first payload bytes/a if after the end of input".
struct kind_decoding {
    std::string input;
    std::vector<std::string> controls;
};

std::string describe(unsigned kind, std::size_t length, const std::string& first, bool after_end)
{
    return std::to_string(kind) + "/" + std::to_string(length) + "/" + first.substr(0, 4) +
           (after_end ? "/a" : "");
}

kind_decoding decode_kinds(const std::string& stream)
{
    kind_decoding d;
    bool ended = false;
    for (std::size_t at = 0; stream.size() - at >= 4;) {
        const auto* b = reinterpret_cast<const unsigned char*>(stream.data() + at);
        const std::size_t length =
            (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
        at += 4;
        const std::size_t present = std::min(length, stream.size() - at);
        if (length == 0) {
            d.controls.push_back(describe(1, 0, "", ended));
            ended = true;
            continue;
        }
        if (present == 0) {
            break;
        }
        const unsigned kind = b[4];
        const std::string payload = stream.substr(at + 1, present - 1);
        if (kind == 0 && !ended) {
            d.input += payload;  // a cut body's bytes are passed on as they come
        } else if (present == length) {
            d.controls.push_back(describe(kind, length - 1, payload, ended));
            ended = ended || (kind == 1 && length == 1);
        }
        at += present;
    }
    return d;
}

void note_control(const control_packet& packet, void* context)
{
    const std::string first(reinterpret_cast<const char*>(packet.payload),
                            std::min<std::size_t>(packet.payload_length, 4));
    static_cast<kind_decoding*>(context)->controls.push_back(
        describe(packet.kind, packet.payload_length, first, packet.after_end));
}

// Reading with kinds never stops early, whatever the batches.
template <typename Choose>
void check_kinds(const std::string& stream, Choose choose)
{
    const kind_decoding expected = decode_kinds(stream);
    kind_decoding got;
    packet_reader reader;
    reader.kinds = true;
    for (std::size_t at = 0; at < stream.size();) {
        std::string waiting = stream.substr(at, choose(stream.size() - at));
        auto* bytes = reinterpret_cast<unsigned char*>(waiting.data());
        require(consumable_size(reader, bytes, waiting.size()) == waiting.size(),
                "stops early with kinds");
        const batch taken = take_batch(reader, bytes, waiting.size(), note_control, &got);
        got.input.append(waiting, 0, taken.body_bytes);
        at += waiting.size();
    }
    require(got.input == expected.input, "input with kinds differs from the decoding");
    require(got.controls == expected.controls, "packets with kinds differ from the decoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider in(data, size);
    const std::size_t buffer_size =
        in.ConsumeBool() ? relay_buffer_size : in.ConsumeIntegralInRange<std::size_t>(1, 9);
    const std::vector<char> front =
        in.ConsumeBytes<char>(in.ConsumeIntegralInRange<std::size_t>(0, in.remaining_bytes()));
    const std::string stream(front.begin(), front.end());
    const decoding d = decode(stream);

    // What is left of the input picks the read sizes, and again the batch
    // sizes; once it runs out, every read takes all that is allowed.
    const std::vector<std::uint8_t> sizes = in.ConsumeRemainingBytes<std::uint8_t>();
    FuzzedDataProvider read_sizes(sizes.data(), sizes.size());
    const outcome o = feed(stream, d, buffer_size, [&](std::size_t ask) {
        return read_sizes.remaining_bytes() > 0
                   ? read_sizes.ConsumeIntegralInRange<std::size_t>(1, ask)
                   : ask;
    });
    require(o.bodies == d.bodies, "bodies differ from the decoding");
    require(o.input_end == d.input_end, "input ends at the wrong place");
    FuzzedDataProvider batch_sizes(sizes.data(), sizes.size());
    const outcome batched = feed_batches(stream, d, [&](std::size_t left) {
        const std::size_t most = std::min(left, buffer_size);
        return batch_sizes.remaining_bytes() > 0
                   ? batch_sizes.ConsumeIntegralInRange<std::size_t>(1, most)
                   : most;
    });
    require(batched.bodies == d.bodies, "batched bodies differ from the decoding");
    require(batched.input_end == d.input_end, "batched input ends at the wrong place");
    for (const std::size_t chunk : o.chunks) {
        for (std::size_t left = chunk, piece; left > 0; left -= piece) {
            piece = next_piece_size(left);
            require(piece >= 1 && piece <= child_write_piece && piece <= left,
                    "piece out of range");
        }
    }
    check_headers(stream);

    // Round trip: what was read, framed again one packet per body read, then
    // the end-of-input packet, comes apart into the same bytes, in one go.
    std::string reframed;
    std::size_t offset = 0;
    for (const std::size_t chunk : o.chunks) {
        unsigned char head[4];
        encode_length_header(head, static_cast<std::uint32_t>(chunk));
        reframed.append(reinterpret_cast<const char*>(head), 4).append(o.bodies, offset, chunk);
        offset += chunk;
    }
    reframed.append(4, '\0');
    const outcome again =
        feed(reframed, decode(reframed), relay_buffer_size, [](std::size_t ask) { return ask; });
    require(again.bodies == o.bodies, "reframed bodies differ");
    require(again.input_end == reframed.size(), "reframed stream does not end at its end");

    FuzzedDataProvider kind_sizes(sizes.data(), sizes.size());
    check_kinds(stream, [&](std::size_t left) {
        const std::size_t most = std::min(left, buffer_size);
        return kind_sizes.remaining_bytes() > 0
                   ? kind_sizes.ConsumeIntegralInRange<std::size_t>(1, most)
                   : most;
    });
    return 0;
}
