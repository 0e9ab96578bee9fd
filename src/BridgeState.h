#pragma once
// Module state of the bridge input, kept in one struct (defined in e131bridge.cpp) and shared by
// the bridge's source files and its tests.
//
// Threads: the main thread does all the work. The statistics are also read and reset from API
// threads, so inputUniversesLock guards the table's shape and every counter below: the main thread
// holds it while it changes the table and while it handles a batch of packets, and the statistics
// calls hold it while they read or reset. The main thread reads the table without it otherwise.

#include "BridgePackets.h"
#include "e131bridge.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace BridgeState {
constexpr int UNIVERSE_CACHE_SIZE = 65536;
constexpr int UNIVERSE_NOT_LOOKED_UP = 0x00FFFFFF;
constexpr unsigned int DDP_NO_MIN_CHANNEL = 0x0FFFFFFF;
constexpr int BATCH_SIZE = 64;
constexpr int SLOT_SIZE = BRIDGE_MAX_DATAGRAM + 1;
constexpr int SOCKET_BUFFER_BYTES = 524288;
constexpr long long DEFAULT_EXPIRE_MS = 1000;

// The receive batch: message i reads into slot i through iovec i, with its sender in inAddress i.
// Shared by every receive call of the bridge.
struct ReceiveBatch {
    mmsghdr msgs[BATCH_SIZE];
    iovec iovecs[BATCH_SIZE];
    unsigned char buffers[BATCH_SIZE][SLOT_SIZE];
    sockaddr_in inAddress[BATCH_SIZE];
};

struct State {
    std::mutex inputUniversesLock;
    std::vector<UniverseEntry> inputUniverses;  // network entries and serial DMX inputs
    int universeCache[UNIVERSE_CACHE_SIZE];     // universe number -> index, or NOT_LOOKED_UP
    long long expireOffSet = DEFAULT_EXPIRE_MS; // lifetime of received data, ms

    int bridgeSock = -1;                                     // E1.31, port 5568; -1 when closed
    int ddpSock = -1;                                        // port 4048
    int artnetSock = -1;                                     // port 6454
    std::map<int, ArtNetOpcodeHandler> artNetOpcodeHandlers; // by opcode

    UniverseEntry unknownUniverse;   // counts packets for universes not configured
    uint64_t e131SyncPackets = 0;    // E1.31 synchronisation packets
    uint64_t e131Errors = 0;         // malformed or unknown E1.31 packets
    uint64_t ddpPacketsReceived = 0; // DDP data packets accepted
    uint64_t ddpErrors = 0;          // DDP sequence gaps and datagrams shorter than their header
    int ddpLastSequence = 0;         // last DDP sequence number, 0 before the first
    uint64_t ddpBytesReceived = 0;   // channel bytes DDP stored
    unsigned int ddpMinChannel = DDP_NO_MIN_CHANNEL; // lowest 1-based channel DDP wrote
    unsigned int ddpMaxChannel = 0;                  // highest
    std::atomic<bool> bridgeDataReceived{false};     // set by any accepted data
    std::atomic<long long> lastPacketTime{0};        // ms of the last accepted data

    ReceiveBatch batch;

    // The table, the statistics, the DDP range and sequence and the data lifetime back to their
    // start values, as tests need between cases. The sockets and the opcode handlers are left
    // alone: Bridge_Shutdown closes and clears them.
    void Reset();
};

extern State state;

// Zeroes the batch and binds each message to its slot; makes every universe "not looked up".
void ResetReceiveBatch();
void ResetUniverseCache();
// The DMX serial entry reading from fd, or nullptr.
UniverseEntry* FindDMXEntry(int fd);
} // namespace BridgeState
