#include "PrivateNetwork.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testing_support {

std::string EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return std::string("unshare: ") + std::strerror(errno);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (fd >= 0) close(fd);
    return up ? std::string() : "cannot bring up lo";
}

std::string AddLoopbackAddress(const std::string& ipv4) {
    in_addr address{};
    if (inet_pton(AF_INET, ipv4.c_str(), &address) != 1) return "not an IPv4 address: " + ipv4;
    const unsigned int lo = if_nametoindex("lo");
    if (lo == 0) return "no loopback interface";
    // RTM_NEWADDR, as "ip addr add ADDRESS/32 dev lo" sends it; the ioctls cannot add a second
    // address with a mask of its own.
    struct {
        nlmsghdr header;
        ifaddrmsg message;
        char attributes[64];
    } request{};
    request.header.nlmsg_type = RTM_NEWADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    request.header.nlmsg_seq = 1;
    request.message.ifa_family = AF_INET;
    request.message.ifa_prefixlen = 32;
    request.message.ifa_scope = RT_SCOPE_HOST;
    request.message.ifa_index = lo;
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    for (const unsigned short type : {IFA_LOCAL, IFA_ADDRESS}) {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                                    NLMSG_ALIGN(request.header.nlmsg_len));
        attribute->rta_type = type;
        attribute->rta_len = RTA_LENGTH(sizeof address);
        std::memcpy(RTA_DATA(attribute), &address, sizeof address);
        request.header.nlmsg_len =
            NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    }
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) return std::string("netlink socket: ") + std::strerror(errno);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::string error;
    if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0) {
        error = std::string("netlink send: ") + std::strerror(errno);
    } else {
        char answer[512];
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
        if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) ||
            reply->nlmsg_type != NLMSG_ERROR) {
            error = "netlink: no acknowledgement";
        } else if (const int code = static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
                   code != 0) {
            error = "adding " + ipv4 + " to lo: " + std::strerror(-code);
        }
    }
    close(fd);
    return error;
}

}  // namespace testing_support
