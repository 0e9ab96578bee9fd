#include "PatternStreamer.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

double secondsBetween(const timespec& from, const timespec& to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) / 1e9;
}

timespec after(const timespec& start, double seconds) {
    timespec t = start;
    double whole = std::floor(seconds);
    t.tv_sec += time_t(whole);
    t.tv_nsec += long((seconds - whole) * 1e9);
    if (t.tv_nsec >= 1000000000L) {
        t.tv_sec++;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

} // namespace

PatternStreamer::PatternStreamer(const SendOptions& options) : options(options) {
    EncoderSettings settings;
    settings.firstUniverse = options.firstUniverse;
    settings.universes = options.universes;
    settings.channelsPerUniverse = options.channels;
    settings.sync = options.sync;
    encoder = PacketEncoder::Create(options.protocol, settings);
    channels.assign(size_t(options.universes) * options.channels, 0);
}

PatternStreamer::~PatternStreamer() {
    if (sock >= 0) {
        close(sock);
    }
}

bool PatternStreamer::open(std::string& error) {
    if (!encoder) {
        error = "unknown protocol " + options.protocol;
        return false;
    }
    if (inet_pton(AF_INET, options.address.c_str(), &address) != 1) {
        error = "not an IPv4 address: " + options.address;
        return false;
    }
    sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        error = std::string("socket: ") + strerror(errno);
        return false;
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
    int buffer = 1 << 20;
    setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
    if (options.multicast) {
        // The groups are reached through the interface that has ADDRESS; loopback keeps a copy
        // for a receiver on this machine.
        unsigned char ttl = 4, loop = 1;
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl));
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop));
        if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &address, sizeof(address)) != 0) {
            error = "no interface has the address " + options.address + ": " + strerror(errno);
            return false;
        }
    }
    return true;
}

sockaddr_in PatternStreamer::destinationOf(const Datagram& d) const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(encoder->port()));
    to.sin_addr = address;
    if (options.multicast) {
        to.sin_addr.s_addr = htonl((239u << 24) | (255u << 16) | uint32_t(d.universe & 0xFFFF));
    }
    return to;
}

void PatternStreamer::sendFrame(uint64_t frame) {
    options.pattern.render(frame, channels);
    datagrams.clear();
    encoder->encodeFrame(channels, datagrams);
    for (const Datagram& d : datagrams) {
        sockaddr_in to = destinationOf(d);
        ssize_t n =
            sendto(sock, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        if (n != ssize_t(d.bytes.size())) {
            sent.sendErrors++;
            continue;
        }
        if (d.sync) {
            sent.syncPackets++;
        } else {
            sent.dataPackets++;
            sent.channelBytes += uint64_t(d.channels);
        }
    }
    sent.frames++;
}

void PatternStreamer::printProgress(double seconds) const {
    printf("\r%8.0f s  %10llu frames  %12llu packets  %7.1f fps  %llu errors ", seconds,
           (unsigned long long)sent.frames, (unsigned long long)sent.dataPackets + sent.syncPackets,
           seconds > 0 ? double(sent.frames) / seconds : 0.0, (unsigned long long)sent.sendErrors);
    fflush(stdout);
}

void PatternStreamer::run(const std::atomic<bool>& stop, bool progress) {
    timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const double period = 1.0 / options.fps;
    double nextProgress = 1.0;
    for (uint64_t frame = 0; !stop.load(); frame++) {
        timespec due = after(start, double(frame) * period);
        if (options.seconds > 0 && double(frame) * period >= options.seconds) {
            break;
        }
        // EINTR (a signal) ends the wait early; the stop flag is checked before sending.
        if (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0 && stop.load()) {
            break;
        }
        sendFrame(frame);
        clock_gettime(CLOCK_MONOTONIC, &now);
        elapsed = secondsBetween(start, now);
        if (progress && elapsed >= nextProgress) {
            printProgress(elapsed);
            nextProgress = std::floor(elapsed) + 1.0;
        }
    }
    if (progress) {
        printf("\n");
    }
}
