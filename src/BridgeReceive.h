#pragma once
// Packet handling of the bridge input: batch receives from the three sockets, the checks and
// stores of E1.31, Art-Net and DDP data, Art-Net polls and syncs, and the serial DMX512 frame
// reader. Each handler takes the datagram and the number of bytes that arrived and never reads or
// copies past them; every write into the channel buffer is clipped to KIVD_MAX_CHANNELS.
//
// A true result means a synchronisation point arrived (E1.31 sync, ArtSync, DDP push) and the frame
// is to be output now. The store and handle functions expect state.inputUniversesLock (BridgeState.h)
// to be held whenever another thread may read the statistics; the receive functions take it.

#include "e131bridge.h"

#include <cstdint>

// Socket callbacks: drain the socket in batches; the OR of the packets' results.
bool Bridge_ReceiveE131Data();
bool Bridge_ReceiveArtNetData();
bool Bridge_ReceiveDDPData();

bool Bridge_StoreData(uint8_t* packet, int len, long long ms); // E1.31
// The Art-Net header test and the opcode handler of a datagram that passes it.
bool Bridge_DispatchArtNet(uint8_t* packet, int len, long long ms);
bool Bridge_StoreArtNetData(uint8_t* packet, int len, long long ms);  // ArtDmx (0x5000)
bool Bridge_HandleArtNetSync(uint8_t* packet, int len, long long ms); // ArtSync (0x5200)
// ArtPoll (0x2000): one ArtPollReply to 255.255.255.255 for every IPv4 interface but "lo*", "usb*".
bool Bridge_HandleArtNetPoll(uint8_t* packet, int len, long long ms);
bool Bridge_StoreDDPData(uint8_t* packet, int len, long long ms);

// The serial callback of a DMX input: reads the descriptor dry, storing frames of at most
// channelCount channels. Returns false.
bool Bridge_ReadDMX(int fd, int channelCount);
// One read of count bytes at nowMicros: a read after a gap of more than 3 ms that starts with the
// start code 0 begins a frame; a read within 3 ms continues it; anything else is an error.
void Bridge_StoreDMXRead(UniverseEntry& entry, int channelCount, const uint8_t* bytes, int count,
                         long long nowMicros);
