// libFuzzer target: the receiver's frame parser over whatever a peer may send, fed in pieces
// whose sizes the input also picks. Besides not crashing it must answer every frame with a
// reply the client side can read, keep to its limits, stay silent after closing, and come to
// the same result however the bytes are split. The messages it yields go through decoding
// and the log record and must come back from the record unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "messenger/Message.h"
#include "messenger/Receiver.h"
#include "platform/posix/MessengerClient.h"

using namespace messenger;
namespace wire = platform::messenger;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

std::span<const unsigned char> Bytes(const std::string& s) {
    return {reinterpret_cast<const unsigned char*>(s.data()), s.size()};
}

bool ReadableReply(const std::string& bytes) {
    const auto b = Bytes(bytes);
    if (b.size() >= 4 && (b[0] == wire::kSessionPositive || b[0] == wire::kSessionNegative)) {
        return wire::ParseSessionResponse(b).answer != wire::SessionAnswer::Malformed;
    }
    if (b.size() < 4 + 33) return false;
    return wire::ParseSmbReply(b, b[8]).answer != wire::SmbAnswer::Malformed;
}

// Everything the events say, as one string, checking each on the way.
std::string Digest(const std::vector<Event>& events, const Limits& limits) {
    std::string out;
    bool closed = false;
    for (const Event& e : events) {
        Check(!closed);
        switch (e.kind) {
            case Event::Kind::Reply:
                Check(ReadableReply(e.bytes));
                out += "R" + e.bytes;
                break;
            case Event::Kind::Message: {
                Check(ReadableReply(e.bytes) && ReadableReply(e.failure));
                Check(e.message.text.size() <= limits.maxTextBytes);
                Check(e.message.from.size() <= limits.maxNameBytes);
                Check(e.message.to.size() <= limits.maxNameBytes);
                Message m = DecodeMessage(e.message, "CP866");
                m.peer = "127.0.0.1";
                const std::string record = FormatRecord(m);
                Check(record.find('\n') == record.size() - 1);
                const auto back =
                    ParseRecord(std::string_view(record).substr(0, record.size() - 1));
                Check(back && back->from == m.from && back->to == m.to && back->text == m.text);
                out += "M" + e.message.from + '\0' + e.message.to + '\0' + e.message.text;
                break;
            }
            case Event::Kind::Close:
                closed = true;
                out += "C";
                break;
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // Small limits, so that short inputs reach them too.
    Limits limits;
    limits.maxFramePayload = 2048;
    limits.maxTextBytes = 300;
    limits.maxNameBytes = 40;
    const std::size_t step = (data[0] & 0x3F) + 1;
    const std::span<const unsigned char> input(data + 1, size - 1);

    SessionParser whole(limits);
    std::vector<Event> wholeEvents;
    whole.Feed(input, wholeEvents);

    SessionParser pieces(limits);
    std::vector<Event> pieceEvents;
    for (std::size_t at = 0; at < input.size(); at += step) {
        pieces.Feed(input.subspan(at, std::min(step, input.size() - at)), pieceEvents);
    }
    Check(Digest(wholeEvents, limits) == Digest(pieceEvents, limits));
    Check(whole.Closed() == pieces.Closed() && whole.MidPacket() == pieces.MidPacket() &&
          whole.MidMessage() == pieces.MidMessage());
    return 0;
}
