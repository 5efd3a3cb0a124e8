#include "platform/LmMsg.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>
#include <exception>
#include <string>

#include "platform/CodePage.h"
#include "platform/posix/MessengerClient.h"

namespace platform {

namespace {

std::u16string_view ZeroTerminated(const char16_t* s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

// A dotted address is taken as it is; anything else goes through the resolver.
NET_API_STATUS Resolve(std::u16string_view recipient, std::uint16_t port, sockaddr_in& out,
                       bool& isAddress) {
    const std::string host = Utf16ToCodePage(recipient, "UTF-8");
    std::memset(&out, 0, sizeof out);
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    isAddress = inet_pton(AF_INET, host.c_str(), &out.sin_addr) == 1;
    if (isAddress) return NERR_Success;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) {
        return NERR_NameNotFound;
    }
    out.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return NERR_Success;
}

}  // namespace

NET_API_STATUS NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                    const char16_t* fromname, const unsigned char* buf,
                                    std::uint32_t buflen) {
    if (servername) return ERROR_INVALID_PARAMETER;
    const std::u16string_view recipient = ZeroTerminated(msgname);
    if (recipient.empty()) return ERROR_INVALID_PARAMETER;
    if (!buf && buflen > 1) return ERROR_INVALID_PARAMETER;
    if (messenger::IsBroadcastName(recipient)) return ERROR_NOT_SUPPORTED;
    try {
        const messenger::Config config = messenger::ReadConfig();
        sockaddr_in address;
        bool isAddress = false;
        if (const auto s = Resolve(recipient, config.port, address, isAddress); s != NERR_Success) {
            return s;
        }
        const char* cp = config.codePage.c_str();
        const messenger::WireMessage message = messenger::PrepareMessage(
            recipient, isAddress, ZeroTerminated(fromname), messenger::TextFromBuffer(buf, buflen),
            cp, messenger::LocalComputerName(cp));
        return messenger::Deliver(address, message, config.timeoutMs);
    } catch (const std::exception&) {
        // Conversions only fail when the system runs out of resources.
        return NERR_NetworkError;
    }
}

}  // namespace platform
