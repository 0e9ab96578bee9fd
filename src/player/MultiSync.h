#pragma once
// Multi-sync between players: the list of known systems, and the control-socket hooks the main
// loop calls.
//
// The list of this host's own systems is real: one entry per IPv4 address of an interface that
// is up, loopback excluded. Synchronising with other players is a stand-in: no control socket is
// opened (GetControlSocket is -1), no peer is discovered or pinged, so the remote part of the list
// is always empty. Safe to call from any thread (no shared state).

#include <jsoncpp/json/json.h>

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
};

extern MultiSync* multiSync;
