#include "send/uSenderThread.h"

#include <algorithm>
#include <vector>

#include "common/defaults.h"
#include "platform/CodePage.h"
#include "send/SendState.h"

namespace {

// Fills a 129-character buffer: the whole name and a zero, or an empty name when it is longer.
void ConvertName(const std::string& name, char16_t (&buffer)[kMaxNameLength + 1]) {
    std::fill(std::begin(buffer), std::end(buffer), u'\0');
    if (name.size() > kMaxNameLength) return;
    const std::u16string wide = platform::Cp1251ToUtf16(name);
    std::copy(wide.begin(), wide.end(), buffer);
}

}  // namespace

std::string LogTextFor(const std::string& recipient, bool sent) {
    static const std::string prefix = Ansi(msg::LogPrefix);
    static const std::string sentText = Ansi(msg::LogSent);
    static const std::string notSentText = Ansi(msg::LogNotSent);
    return prefix + recipient + (sent ? sentText : notSentText);
}

TSendThread::TSendThread(std::string sender, std::string recipient, std::string message,
                         std::int32_t count, std::int32_t interval, const TSendServices& services)
    : FRecipient(std::move(recipient)),
      FSender(std::move(sender)),
      FMessage(std::move(message)),
      FCount(count),
      FInterval(interval),
      services_(services) {}

void TSendThread::Execute() {
    char16_t recipientBuffer[kMaxNameLength + 1];
    char16_t senderBuffer[kMaxNameLength + 1];
    ConvertName(FRecipient, recipientBuffer);
    ConvertName(FSender, senderBuffer);
    // One wide character per character, then a zero; the length handed on is 2n + 1 bytes.
    std::u16string message = platform::Cp1251ToUtf16(FMessage);
    message.push_back(u'\0');
    const auto length = static_cast<std::uint32_t>(2 * FMessage.size() + 1);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());

    TSendClock& clock = *services_.clock;
    // Attempts start FInterval seconds apart; a long attempt shortens the pause after it.
    std::uint32_t start = clock.TickCount();
    const std::uint64_t planned = static_cast<std::uint64_t>(std::max(FInterval, 0)) * 1000;
    for (std::int32_t attempt = 0; attempt < FCount; ++attempt) {
        if (SendShutdown.load()) return;
        const platform::NET_API_STATUS status =
            services_.send(recipientBuffer, senderBuffer, bytes, length);
        FLog.text = LogTextFor(FRecipient, status == platform::NERR_Success);
        FLog.image = status == platform::NERR_Success ? 1 : 0;
        FLog.time = clock.LocalTime();
        {
            std::lock_guard<std::mutex> hold(LogLock);
            services_.log(FLog);
        }
        const std::uint32_t now = clock.TickCount();
        const std::uint32_t elapsed = now - start;  // modulo 2^32: a wrap does no harm
        const std::uint64_t pause = elapsed >= planned ? 0 : planned - elapsed;
        clock.Sleep(static_cast<std::uint32_t>(pause));
        start = now + static_cast<std::uint32_t>(pause);
    }
}
