#pragma once
// Stand-in for the wider player's ping manager (reachability checks of configured hosts), which is
// outside this system: it checks nothing.

class PingManager {
public:
    static PingManager INSTANCE;

    void Initialize();
    void Cleanup();
};
