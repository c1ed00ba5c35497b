#include "server/icmperror.h"

#include <array>
#include <cstring>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace quillmere::server {

std::optional<IcmpError> icmpErrorFromControl(const unsigned char* control, std::size_t length)
{
    // The headers are copied out rather than cast in place: the buffer may sit anywhere.
    const std::size_t dataOffset = CMSG_LEN(0);
    std::size_t offset = 0;
    while (control && offset < length && length - offset >= sizeof(cmsghdr)) {
        cmsghdr header{};
        std::memcpy(&header, control + offset, sizeof header);
        if (header.cmsg_len < dataOffset || header.cmsg_len > length - offset)
            return std::nullopt;
        const bool recvErr = (header.cmsg_level == SOL_IP && header.cmsg_type == IP_RECVERR) ||
                             (header.cmsg_level == SOL_IPV6 && header.cmsg_type == IPV6_RECVERR);
        if (recvErr && header.cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            sock_extended_err extended{};
            std::memcpy(&extended, control + offset + dataOffset, sizeof extended);
            if (extended.ee_origin == SO_EE_ORIGIN_ICMP || extended.ee_origin == SO_EE_ORIGIN_ICMP6)
                return IcmpError{extended.ee_origin == SO_EE_ORIGIN_ICMP6, extended.ee_type,
                                 extended.ee_code};
        }
        const std::size_t step = CMSG_ALIGN(header.cmsg_len);
        if (step > length - offset)
            break;
        offset += step;
    }
    return std::nullopt;
}

std::string icmpErrorName(const IcmpError& error)
{
    if (!error.v6 && error.type == 3) { // destination unreachable
        static constexpr std::array<std::string_view, 16> kCodes = {
            "network unreachable",
            "host unreachable",
            "protocol unreachable",
            "port unreachable",
            "fragmentation needed",
            "source route failed",
            "destination network unknown",
            "destination host unknown",
            "source host isolated",
            "network administratively prohibited",
            "host administratively prohibited",
            "network unreachable for type of service",
            "host unreachable for type of service",
            "administratively prohibited",
            "host precedence violation",
            "precedence cutoff in effect",
        };
        if (error.code < kCodes.size())
            return std::string(kCodes[error.code]);
    } else if (!error.v6 && error.type == 11) {
        return error.code == 0 ? "time to live exceeded" : "time exceeded";
    } else if (error.v6 && error.type == 1) { // destination unreachable
        static constexpr std::array<std::string_view, 8> kCodes = {
            "no route to destination",
            "administratively prohibited",
            "beyond scope of source address",
            "address unreachable",
            "port unreachable",
            "source address failed policy",
            "reject route to destination",
            "error in source routing header",
        };
        if (error.code < kCodes.size())
            return std::string(kCodes[error.code]);
    } else if (error.v6 && error.type == 3) {
        return error.code == 0 ? "hop limit exceeded" : "time exceeded";
    } else if (error.v6 && error.type == 2) {
        return "packet too big";
    }
    return "type " + std::to_string(error.type) + " code " + std::to_string(error.code);
}

std::string icmpErrorText(const IcmpError& error)
{
    return std::to_string(error.type) + "/" + std::to_string(error.code) + " (" +
           icmpErrorName(error) + ")";
}

std::optional<IcmpError> takeIcmpError(int socket)
{
    std::optional<IcmpError> found;
    // A handful of reads at most: the queue holds one entry per ICMP message that came, and
    // the connect ended at the first.
    for (int round = 0; round < 8; ++round) {
        alignas(cmsghdr) std::array<unsigned char, 512> control{};
        sockaddr_storage offender{};
        char byte = 0;
        iovec data{&byte, 1};
        msghdr message{};
        message.msg_name = &offender;
        message.msg_namelen = sizeof offender;
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        if (::recvmsg(socket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        if (!found)
            found = icmpErrorFromControl(control.data(), message.msg_controllen);
    }
    return found;
}

bool enableIcmpErrors(int socket, bool v6)
{
    const int on = 1;
    return v6 ? ::setsockopt(socket, SOL_IPV6, IPV6_RECVERR, &on, sizeof on) == 0
              : ::setsockopt(socket, SOL_IP, IP_RECVERR, &on, sizeof on) == 0;
}

} // namespace quillmere::server
