// Watches one interface for the event datagrams that reach it and writes the log lines the monitor
// should make of them. It only listens: it never sends anything.
//
//   sorvane-e2e-capture --interface IF --port PORT --count N --out FILE

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

// The log line the monitor is to write for a datagram, made here from the datagram's bytes and
// the log's format, independently of the monitor's own writer: time, date, server, user and
// keyword, two blanks apart, CR LF at the end; each text up to its NUL (bytes past the datagram
// read as zero), with CR and LF written as "?".
QByteArray expectedLogLine(const unsigned char* datagram, std::size_t size)
{
    static const char* const keywords[] = {"LoggedOn",
                                           "LoggedOff",
                                           "AccountLockedUp",
                                           "TryingInvalidUserNames",
                                           "TryingInvalidPasswords",
                                           "AccountIsDisabled",
                                           "FirewallRebooted",
                                           "AccessingFilteredSites",
                                           "AccountMarkedForLockUp",
                                           "AccessTimeExpired"};
    const auto byte = [&](std::size_t at) -> unsigned char { return at < size ? datagram[at] : 0; };
    const auto text = [&](std::size_t offset, std::size_t width) {
        QByteArray out;
        for (std::size_t i = 0; i < width && byte(offset + i) != 0; ++i)
            out += byte(offset + i) == '\r' || byte(offset + i) == '\n' ? '?' : char(byte(offset + i));
        return out;
    };
    const QByteArray server = QByteArray::number(byte(103)) + '.' + QByteArray::number(byte(104)) + '.' +
                              QByteArray::number(byte(105)) + '.' + QByteArray::number(byte(106));
    const unsigned code = byte(3);
    return text(132, 25) + "  " + text(107, 25) + "  " + server + "  " + text(4, 40) + "  " +
           (code < 10 ? keywords[code] : "") + "\r\n";
}

// The virtio header that PACKET_VNET_HDR puts before each packet (linux/virtio_net.h, which C++
// cannot include: it names a member "class").
struct VnetHeader {
    quint8 flags;
    quint8 gsoType;
    quint16 headerLength;
    quint16 gsoSize;
    quint16 checksumStart;
    quint16 checksumOffset;
};
constexpr quint8 GSO_ECN = 0x80;
constexpr quint8 GSO_UDP_L4 = 5;

struct Options {
    std::string interface;
    unsigned port = 0;
    long count = 0;
    QString out;
};

int fail(const char* what, int error)
{
    std::fprintf(stderr, "sorvane-e2e-capture: %s: %s\n", what, std::strerror(error));
    return 1;
}

bool parse(int argc, char* argv[], Options& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const char* value = argv[i + 1];
        if (key == "--interface")
            options.interface = value;
        else if (key == "--port")
            options.port = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
        else if (key == "--count")
            options.count = std::strtol(value, nullptr, 10);
        else if (key == "--out")
            options.out = QFile::decodeName(value);
        else
            return false;
    }
    return argc % 2 == 1 && !options.interface.empty() && options.port > 0 && options.port < 65536 &&
           options.count > 0 && !options.out.isEmpty();
}

// The UDP payload of one captured IPv4 packet sent to `port`, or false for anything else.
bool udpPayload(const unsigned char* packet, std::size_t length, unsigned port, const unsigned char*& payload,
                std::size_t& payloadLength)
{
    if (length < sizeof(iphdr))
        return false;
    const std::size_t ipLength = (packet[0] & 0x0f) * 4u;
    const std::size_t total = (std::size_t(packet[2]) << 8) | packet[3];
    const bool fragment = ((packet[6] & 0x3f) | packet[7]) != 0; // more-fragments flag or an offset
    if ((packet[0] >> 4) != 4 || packet[9] != IPPROTO_UDP || fragment || ipLength < sizeof(iphdr) ||
        length < ipLength + sizeof(udphdr))
        return false;
    const unsigned char* udp = packet + ipLength;
    if (((unsigned(udp[2]) << 8) | udp[3]) != port)
        return false;
    // A segmented send arrives as one packet whose total covers all its segments.
    const std::size_t end = total >= ipLength + sizeof(udphdr) && total <= length ? total : length;
    payload = udp + sizeof(udphdr);
    payloadLength = end - ipLength - sizeof(udphdr);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: sorvane-e2e-capture --interface IF --port PORT --count N --out FILE\n", stderr);
        return 2;
    }
    QFile out(options.out);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "sorvane-e2e-capture: cannot write %s\n", qPrintable(options.out));
        return 1;
    }

    // Raw, with the Ethernet header: the virtio header is only given to raw packet sockets.
    const int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0)
        return fail("packet socket", errno);
    // The virtio header tells the segment size of a packet that the sender's kernel did not cut.
    const int on = 1;
    if (::setsockopt(fd, SOL_PACKET, PACKET_VNET_HDR, &on, sizeof on) != 0)
        return fail("PACKET_VNET_HDR", errno);
    // Room for a whole flood, so the capture never drops what the monitor gets.
    const int size = 256 << 20;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_ll local = {};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_IP);
    local.sll_ifindex = static_cast<int>(::if_nametoindex(options.interface.c_str()));
    if (local.sll_ifindex == 0)
        return fail(options.interface.c_str(), errno);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        return fail("bind", errno);
    std::fprintf(stderr, "sorvane-e2e-capture: capturing UDP port %u on %s\n", options.port,
                 options.interface.c_str());

    static unsigned char buffer[sizeof(VnetHeader) + ETH_HLEN + 65536];
    long seen = 0;
    long packets = 0;
    while (seen < options.count) {
        sockaddr_ll from = {};
        socklen_t fromLength = sizeof from;
        const ssize_t n =
            ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("recvfrom", errno);
        if (from.sll_pkttype == PACKET_OUTGOING || static_cast<std::size_t>(n) < sizeof(VnetHeader))
            continue;
        VnetHeader vnet;
        std::memcpy(&vnet, buffer, sizeof vnet);
        const std::size_t frame = static_cast<std::size_t>(n) - sizeof vnet;
        const unsigned char* ethernet = buffer + sizeof vnet;
        if (frame < ETH_HLEN || ((unsigned(ethernet[12]) << 8) | ethernet[13]) != ETH_P_IP)
            continue;
        const unsigned char* payload = nullptr;
        std::size_t length = 0;
        if (!udpPayload(ethernet + ETH_HLEN, frame - ETH_HLEN, options.port, payload, length))
            continue;
        const std::size_t segment =
            (vnet.gsoType & ~GSO_ECN) == GSO_UDP_L4 && vnet.gsoSize > 0 ? vnet.gsoSize : length;
        ++packets;
        QByteArray lines;
        std::size_t at = 0;
        do {
            const std::size_t part = std::min(segment, length - at);
            ++seen;
            // The monitor refuses a datagram over 512 bytes and logs nothing for it.
            if (part <= 512)
                lines += expectedLogLine(payload + at, part);
            at += part;
        } while (at < length);
        if (out.write(lines) != lines.size() || !out.flush()) {
            std::fprintf(stderr, "sorvane-e2e-capture: cannot write %s\n", qPrintable(options.out));
            return 1;
        }
    }
    tpacket_stats stats = {};
    socklen_t statsLength = sizeof stats;
    if (::getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &statsLength) == 0 && stats.tp_drops > 0) {
        std::fprintf(stderr, "sorvane-e2e-capture: the capture dropped %u packets\n", stats.tp_drops);
        return 1;
    }
    std::fprintf(stderr, "sorvane-e2e-capture: %ld datagrams in %ld packets\n", seen, packets);
    ::close(fd);
    return 0;
}
