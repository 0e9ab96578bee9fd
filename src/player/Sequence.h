#pragma once
// Stand-in for the player's sequence object: this system plays no sequence files, but the sequence
// owns the channel buffer that every frame is sent from, and bridge input writes into it.
//
// The buffer is KIVD_MAX_CHANNELS bytes plus SEQUENCE_RESERVED_BYTES reserved bytes, zeroed at
// construction. Reserved bytes hold the constant node values pixel strings map to: indices
// KIVD_MAX_CHANNELS .. +3 are 0 (null pixels and zero nodes send off), KIVD_MAX_CHANNELS + 4 is
// SMART_RECEIVER_MARKER_VALUE (the marker nodes of smart receivers).
//
// Threads: bridge data is written on the main thread and frames are read on the channel-output
// thread; both hold DataLock() while they touch the buffer, so a frame never sees half a packet.

#include "channeloutput/ChannelOutput.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

constexpr unsigned int SEQUENCE_RESERVED_BYTES = 16;
constexpr unsigned char SMART_RECEIVER_MARKER_VALUE = 0xFF;

class Sequence {
public:
    Sequence();
    ~Sequence();
    Sequence(const Sequence&) = delete;
    Sequence& operator=(const Sequence&) = delete;

    // Copies len bytes to the 0-based start channel, kept until expireMS (a GetTimeMS() time);
    // a write past the end of the channels is clipped.
    void SetBridgeData(const uint8_t* data, int startChannel, int len, uint64_t expireMS);
    // True while some bridge data has not expired.
    bool hasBridgeData();
    // Clears every bridge range whose expiry time has passed; called before each frame.
    void ExpireBridgeData(uint64_t nowMS);
    // Sends one all-zero frame through the outputs.
    void SendBlankingData();
    bool IsSequenceRunning() const { return false; }
    std::string GetSequenceName() const { return ""; }
    int GetPositionMS() const { return 0; }
    int GetRemainingMS() const { return 0; }

    // The whole buffer, KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES bytes.
    unsigned char* Data() { return m_seqData; }
    std::mutex& DataLock() { return m_dataLock; }

private:
    void resetReservedBytes();

    unsigned char* m_seqData;
    std::mutex m_dataLock;
    // start channel -> (length, expiry); guarded by m_dataLock.
    std::map<int, std::pair<int, uint64_t>> m_bridgeRanges;
};

extern Sequence* sequence;
