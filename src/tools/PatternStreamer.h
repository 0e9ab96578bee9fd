#pragma once
// Streams a test pattern over UDP at a steady frame rate: renders each frame, encodes it and
// sends the datagrams, keeping count of what left. Frames are timed against the monotonic clock
// from the start, so a slow frame does not shift the ones after it.

#include "PacketEncoder.h"
#include "SendOptions.h"

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

struct SendCounts {
    uint64_t frames = 0;
    uint64_t dataPackets = 0;
    uint64_t syncPackets = 0;
    uint64_t channelBytes = 0;
    uint64_t sendErrors = 0; // datagrams the socket refused (counted, not resent)
};

class PatternStreamer {
public:
    explicit PatternStreamer(const SendOptions& options);
    ~PatternStreamer();

    // Opens the socket; false with error set when the address or socket is unusable.
    bool open(std::string& error);
    // Sends until `stop` is set or the time is up. Prints a progress line a second when
    // `progress` is on.
    void run(const std::atomic<bool>& stop, bool progress);

    const SendCounts& counts() const { return sent; }
    double elapsedSeconds() const { return elapsed; }

private:
    sockaddr_in destinationOf(const Datagram& d) const;
    void sendFrame(uint64_t frame);
    void printProgress(double seconds) const;

    SendOptions options;
    std::unique_ptr<PacketEncoder> encoder;
    int sock = -1;
    in_addr address{};
    std::vector<uint8_t> channels;
    std::vector<Datagram> datagrams;
    SendCounts sent;
    double elapsed = 0;
};
