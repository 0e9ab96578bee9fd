#pragma once
// The media output base of the wider player, reduced to what the daemon calls: the media status
// and the volume. Stand-in: no media is played here (the status stays 0). The volume is kept in
// the integer setting "volume" (in memory: the settings file, when it has one, wins at its next
// load), clamped to 0..100; default 70.

#include <mutex>
#include <string>

struct MediaOutputStatus {
    int status = 0; // 1 while media plays
    int secondsElapsed = 0;
    int secondsRemaining = 0;
};
// Points at the one status object for the process' life.
extern MediaOutputStatus* mediaOutputStatus;

// The media being played. Nothing plays here, so mediaOutput stays null; readers on other threads
// hold mediaOutputLock while they use it.
class MediaOutputBase {
public:
    virtual ~MediaOutputBase() = default;
    std::string m_mediaFilename;
};
extern MediaOutputBase* mediaOutput;
extern std::mutex mediaOutputLock; // guards mediaOutput and the status it reports

void InitMediaOutput();
void CleanupMediaOutput();
void setVolume(int volume);
int getVolume();
