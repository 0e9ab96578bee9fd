#pragma once
// Multi-sync between players: the list of known systems, and the control-socket hooks the main
// loop calls.
//
// The list of this host's own systems is real: one entry per IPv4 address of an interface that
// is up, loopback excluded. Synchronising with other players is a stand-in: no control socket is
// opened (GetControlSocket is -1), no peer is discovered or pinged, so the remote part of the list
// is always empty. Safe to call from any thread (no shared state).

#include <jsoncpp/json/json.h>

#include <string>

class MultiSync {
public:
    static MultiSync INSTANCE;

    // False only when the interface addresses cannot be read.
    bool Init();
    void ShutdownSync();
    int GetControlSocket() { return -1; }
    void ProcessControlPacket(bool pingOnly);
    void Discover();
    void PeriodicPing();

    // {"systems": [{"address", "interface", "hostname", "version", "mode", "type": "kivd"
    //  [, "lastSeen": seconds since the epoch]}, ...]} in interface order. With localOnly false
    // remote systems would follow; there are none (see above).
    Json::Value GetSystems(bool localOnly = false, bool timestamps = true);
    // Syncing is not part of this build: never enabled, and the per-system statistics are an empty
    // {"systems": []}; resetting them does nothing.
    bool isMultiSyncEnabled() { return false; }
    Json::Value GetSyncStats();
    void ResetSyncStats() {}

    // System type numbers of players and controllers, as peers exchange them. The table:
    //   1        unrecognised system ("Unknown")
    //   2        "Generic x86_64"
    //   16..30   Raspberry boards, in this order: "Raspberry Pi A", "Raspberry Pi B",
    //            "Raspberry Pi A+", "Raspberry Pi B+", "Raspberry Pi 2 Model B", "Raspberry Pi Zero",
    //            "Raspberry Pi Zero W", "Raspberry Pi 3 Model B", "Raspberry Pi 3 Model B+",
    //            "Raspberry Pi 3 Model A+", "Raspberry Pi 4 Model B", "Raspberry Pi Zero 2 W",
    //            "Raspberry Pi 400", "Raspberry Pi Compute Module 4", "Raspberry Pi 5"
    //   136, 137, 144  "Quarn 16", "Quarn 32", "Quarn 48" (other numbers 128..191: "Quarn controller")
    //   194 "ESPixelStick", 251 "WLED", 252 "DIYLEDExpress", 253 "HinksPix", 254 "AlphaPix",
    //   255 "SanDevices"
    // A model text matches a name exactly, or the name followed by " Rev ..." as a board reports its
    // model ("Raspberry Pi 4 Model B Rev 1.4"). Anything else is 1.
    static int ModelStringToType(const std::string& model);
    // The name of a type number; "Unknown" for numbers outside the table. With brief, Raspberry
    // boards drop the "Raspberry " prefix, as peers report their variant ("Pi 4 Model B").
    static std::string GetTypeString(int type, bool brief = false);
};

extern MultiSync* multiSync;
