#pragma once
// The show's media started by command: one SDLOutput at a time, reported as the media output
// (mediaOutput and mediaOutputStatus), driven by the main loop, its video drawn by the overlay pass.
//
// Threads: play and stop come from command threads (HTTP, MQTT, presets), process from the main
// loop; all of them hold mediaOutputLock while they touch the player.

#include <string>

class SDLOutput;

class ShowMediaPlayer {
public:
    static ShowMediaPlayer INSTANCE;

    // Starts SDL's audio and registers the video pass with the overlay manager.
    void Init();
    // Stops what plays and removes the video pass.
    void Cleanup();

    // Stops what plays, then starts the file, its video into the model when one is named. False
    // with the reason in `error` when it cannot be played.
    bool play(const std::string& file, const std::string& model, std::string& error);
    // False when nothing was playing.
    bool stop();
    // Called by the main loop every iteration: progress, and clean-up at the end of the file.
    void process();
    bool isPlaying();

private:
    void closeLocked();

    SDLOutput* output = nullptr; // guarded by mediaOutputLock
};
