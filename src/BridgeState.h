#pragma once
// Module state of the bridge input, declared in this one place (defined in e131bridge.cpp) and
// shared by the bridge's source files and its tests.
//
// Threads: the main thread does all the work. The statistics are also read and reset from API
// threads, so InputUniversesLock guards the table's shape and every counter below: the main thread
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
constexpr int DDP_NO_MIN_CHANNEL = 0x0FFFFFFF;
constexpr int BATCH_SIZE = 64;
constexpr int SLOT_SIZE = BRIDGE_MAX_DATAGRAM + 1;
constexpr int SOCKET_BUFFER_BYTES = 524288;
constexpr int TYPE_E131_MULTICAST = 0;
constexpr int TYPE_E131_UNICAST = 1;
constexpr int TYPE_DMX_SERIAL = 4;

extern std::mutex InputUniversesLock;
extern std::vector<UniverseEntry> InputUniverses; // network entries and serial DMX inputs
extern int InputUniverseCount;                    // entries in use, InputUniverses.size()
extern int UniverseCache[UNIVERSE_CACHE_SIZE];    // universe number -> index, or NOT_LOOKED_UP
extern long long expireOffSet;                    // lifetime of received data, ms

extern int bridgeSock;                                          // E1.31, port 5568; -1 when closed
extern int ddpSock;                                             // port 4048
extern int artnetSock;                                          // port 6454
extern std::map<int, ArtNetOpcodeHandler> ArtNetOpcodeHandlers; // by opcode

extern UniverseEntry unknownUniverse; // counts packets for universes not configured
extern uint64_t e131SyncPackets;
extern uint64_t e131Errors; // malformed or unknown E1.31 packets
extern uint64_t ddpPacketsReceived;
extern uint64_t ddpErrors; // DDP sequence gaps and datagrams shorter than their header
extern int ddpLastSequence;
extern uint64_t ddpBytesReceived;
extern unsigned int ddpMinChannel;              // lowest 1-based channel DDP wrote
extern unsigned int ddpMaxChannel;              // highest
extern std::atomic<bool> bridgeDataReceived;    // set by any accepted data
extern std::atomic<long long> last_packet_time; // ms of the last accepted data

// The receive batch: message i reads into slot i through iovec i, with its sender in inAddress i.
// Shared by every receive call of the bridge.
extern mmsghdr msgs[BATCH_SIZE];
extern iovec iovecs[BATCH_SIZE];
extern unsigned char buffers[BATCH_SIZE][SLOT_SIZE];
extern sockaddr_in inAddress[BATCH_SIZE];

// Zeroes the batch and binds each message to its slot; makes every universe "not looked up".
void ResetReceiveBatch();
void ResetUniverseCache();
// The DMX serial entry reading from fd, or nullptr.
UniverseEntry* FindDMXEntry(int fd);
} // namespace BridgeState
