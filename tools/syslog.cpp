// Forwarding to the system log: each entry as one RFC 5424 message, sent
// to a local datagram socket (/dev/log by default), over UDP, or over TCP
// with octet-counted framing.  A destination that is down costs the
// entries of that time, counted and reported once it is back; nothing is
// sent twice.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "xtrctl.h"

namespace xtrctl {
namespace {

// PRINTUSASCII only (33-126), at most `max` characters, "-" when empty.
std::string headerField(std::string_view s, size_t max) {
    std::string out;
    for (char c : s) {
        if (c > 32 && c < 127 && out.size() < max) out += c;
    }
    return out.empty() ? "-" : out;
}

// A PARAM-VALUE: '"', '\' and ']' are escaped; the rest as the terminal sees it.
void appendParam(std::string &out, const char *name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    for (char c : terminalText(value)) {
        if (c == '"' || c == '\\' || c == ']') out += '\\';
        out += c;
    }
    out += '"';
}

std::string hostName() {
    char h[256] = {};
    if (gethostname(h, sizeof h - 1) != 0) return "-";
    return headerField(h, 255);
}

constexpr int kFacilityUser = 1;

}  // namespace

int syslogSeverity(char criteria) {
    switch (criteria) {
        case 'F':
            return 5;  // notice
        case 'L':
            return 6;  // info
        case 'T':
        case 'D':
            return 7;  // debug
        default:
            return 5;
    }
}

// "<PRI>1 TIME HOST xtrctl PROCID - [ID@32473": a message up to its first
// structured-data element's parameters.  Built by appending, as GCC 12
// warns (wrongly) about "..." + std::string here.
std::string messageHead(int severity, const std::string &time, std::string_view host, long procid, const char *sdId) {
    std::string m = "<";
    m += std::to_string(kFacilityUser * 8 + severity);
    m += ">1 ";
    m += time;
    m += ' ';
    m += host;
    m += " xtrctl ";
    m += std::to_string(procid);
    m += " - [";
    m += sdId;
    m += "@32473";
    return m;
}

std::string syslogMessage(const Entry &e, std::string_view host) {
    const char criteria = e.text.size() > 7 ? e.text[7] : '-';
    std::string_view component = std::string_view(e.text).substr(0, 7);
    while (!component.empty() && component.back() == ' ') component.remove_suffix(1);
    std::string m = messageHead(syslogSeverity(criteria), isoTime(e.time, e.usecs), host, e.pid, "trace");
    appendParam(m, "pid", std::to_string(e.pid));
    appendParam(m, "tid", std::to_string(e.tid));
    appendParam(m, "component", component);
    appendParam(m, "criteria", std::string_view(&criteria, 1));
    m += "] ";
    appendTerminalText(m, e.text);
    return m;
}

std::string syslogLostMessage(uint64_t count, std::string_view host, uint32_t now, std::string_view why) {
    std::string m = messageHead(4, isoTime(now, 0), host, getpid(), "lost");
    appendParam(m, "count", std::to_string(count));
    m += "] " + std::to_string(count) + " trace entries " + std::string(why);
    return m;
}

bool SyslogSink::configure(const std::string &dest, std::string &error) {
    dest_ = dest.empty() ? "/dev/log" : dest;
    host_ = hostName();
    if (dest_.rfind("udp://", 0) == 0 || dest_.rfind("tcp://", 0) == 0) {
        tcp_ = dest_[0] == 't';
        const std::string hp = dest_.substr(6);
        const size_t colon = hp.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == hp.size()) {
            error = "a network destination is udp://HOST:PORT or tcp://HOST:PORT, not '" + dest_ + "'";
            return false;
        }
        netHost_ = hp.substr(0, colon);
        if (netHost_.size() > 2 && netHost_.front() == '[' && netHost_.back() == ']') {
            netHost_ = netHost_.substr(1, netHost_.size() - 2);
        }
        netPort_ = hp.substr(colon + 1);
        network_ = true;
    } else if (dest_.empty() || dest_[0] != '/') {
        error = "the log destination must be a socket path, udp://HOST:PORT or tcp://HOST:PORT, not '" + dest_ + "'";
        return false;
    } else if (dest_.size() >= sizeof(sockaddr_un{}.sun_path)) {
        error = "the socket path is too long: " + dest_;
        return false;
    }
    return true;
}

SyslogSink::~SyslogSink() { disconnect(); }

void SyslogSink::disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

// Every wait on the destination is bounded: a connect, and a send to a
// server that stopped reading, give up after this long (the entries of that
// time count as lost), so the follower never stops taking entries for good.
static int boundedSocket(int domain, int type, int protocol) {
    const int fd = socket(domain, type | SOCK_CLOEXEC, protocol);
    const timeval limit{2, 0};
    if (fd >= 0) (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

bool SyslogSink::connectNow() {
    disconnect();
    if (!network_) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::memcpy(a.sun_path, dest_.c_str(), dest_.size());
        fd_ = boundedSocket(AF_UNIX, SOCK_DGRAM, 0);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return true;
        why_ = std::strerror(errno);
        disconnect();
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = tcp_ ? SOCK_STREAM : SOCK_DGRAM;
    addrinfo *list = nullptr;
    if (const int rc = getaddrinfo(netHost_.c_str(), netPort_.c_str(), &hints, &list); rc != 0) {
        why_ = gai_strerror(rc);
        return false;
    }
    for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        fd_ = boundedSocket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (fd_ >= 0 && connect(fd_, ai->ai_addr, ai->ai_addrlen) == 0) break;
        why_ = std::strerror(errno);
        disconnect();
    }
    freeaddrinfo(list);
    return fd_ >= 0;
}

// A TCP peer never sends on a syslog connection: something to read (or the
// end of the stream) means it has closed, and a message written now would
// vanish.
bool SyslogSink::peerClosed() {
    if (!tcp_ || fd_ < 0) return false;
    char c;
    const ssize_t n = recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool SyslogSink::transmit(const std::string &message) {
    if (fd_ >= 0 && peerClosed()) disconnect();
    if (fd_ < 0 && !connectNow()) return false;
    std::string framed = tcp_ ? std::to_string(message.size()) + " " + message : message;
    size_t sent = 0;
    while (sent < framed.size()) {
        const ssize_t n = ::send(fd_, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why_ = std::strerror(errno);
            disconnect();
            // A datagram not taken is gone whole; a stream cut midway has
            // sent part of a frame the receiver drops with the connection.
            return false;
        }
        sent += static_cast<size_t>(n);
        if (!tcp_) break;
    }
    return true;
}

bool SyslogSink::deliver(const std::string &message) {
    if (pendingLost_ > 0) {
        const uint64_t n = pendingLost_;
        if (!transmit(syslogLostMessage(n, host_, static_cast<uint32_t>(time(nullptr)),
                                        "could not be forwarded while " + dest_ + " was unavailable"))) {
            return false;
        }
        pendingLost_ = 0;
        std::fprintf(stderr, "xtrctl: %s is back; %llu entries could not be forwarded meanwhile\n", dest_.c_str(),
                     static_cast<unsigned long long>(n));
        down_ = false;
    }
    return transmit(message);
}

void SyslogSink::send(const Entry &e) {
    if (deliver(syslogMessage(e, host_))) {
        forwarded++;
        return;
    }
    if (!down_)
        std::fprintf(stderr, "xtrctl: cannot send to %s: %s; counting entries as lost\n", dest_.c_str(), why_.c_str());
    down_ = true;
    pendingLost_++;
    lost++;
}

void SyslogSink::discarded(uint64_t count) {
    const std::string m = syslogLostMessage(count, host_, static_cast<uint32_t>(time(nullptr)),
                                            "were discarded from the trace buffer before they were read");
    if (!deliver(m)) {
        down_ = true;
        pendingLost_ += count;
    }
}

}  // namespace xtrctl
