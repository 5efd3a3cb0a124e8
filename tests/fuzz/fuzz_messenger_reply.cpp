// libFuzzer target: the messenger client's reply parsers over arbitrary bytes, as a receiver
// could send them. Besides not crashing, the parsers must agree with the frame layout.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "platform/posix/MessengerClient.h"

using namespace platform::messenger;

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const unsigned char> packet(data, size);

    const SessionResult session = ParseSessionResponse(packet);
    if (session.answer != SessionAnswer::Malformed) {
        Check(size >= 4 && SessionPayloadLength(packet.first<4>()) == size - 4);
    }
    (void)StatusOf(session);

    for (const std::uint8_t command : {kCmdSendStart, kCmdSendText, kCmdSendEnd}) {
        const SmbResult reply = ParseSmbReply(packet, command);
        (void)StatusOf(reply);
        if (reply.answer == SmbAnswer::Malformed) continue;
        // Only a whole SMB header of a reply to this command gets this far.
        Check(size >= 4 + 32 && data[0] == 0 && data[4] == 0xFF && data[8] == command);
        Check((reply.answer == SmbAnswer::Error) == (reply.status != 0));
        if (reply.answer == SmbAnswer::Ok) Check(size >= 4 + 35);
        if (command != kCmdSendStart) Check(reply.groupId == 0);
    }

    // The splitter keeps every byte, in order, in blocks of at most 127.
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::size_t at = 0;
    for (const std::string_view block : SplitText(text)) {
        Check(!block.empty() && block.size() <= kTextBlockBytes &&
              block == text.substr(at, block.size()));
        at += block.size();
    }
    Check(at == size);
    return 0;
}
