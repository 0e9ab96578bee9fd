#pragma once
// The media output base of the wider player, reduced to what the daemon calls: the media status,
// the base class of every media player and the volume.
//
// The volume is kept in the integer setting "volume" (in memory: the settings file, when it has
// one, wins at its next load), clamped to 0..100; default 70. Players scale the samples they hand
// to the audio device by VolumeGain.

#include <mutex>
#include <string>

// Where a player reports its progress. Written by the thread that calls Process (the main loop),
// read by HTTP threads under mediaOutputLock.
struct MediaOutputStatus {
    int status = 0; // 1 while media plays
    int secondsElapsed = 0;
    int subSecondsElapsed = 0; // hundredths
    int secondsRemaining = 0;
    int subSecondsRemaining = 0; // hundredths
    int minutesTotal = 0;
    int secondsTotal = 0;
    float mediaSeconds = 0;
};
// Points at the one status object of the show's media for the process' life.
extern MediaOutputStatus* mediaOutputStatus;

// One media file being played; the owner calls Start, then Process until it returns false, then
// Close (or deletes the player).
class MediaOutputBase {
public:
    // The plain base plays nothing: Start and Process return false.
    explicit MediaOutputBase(const std::string& mediaFilename = "",
                             MediaOutputStatus* status = mediaOutputStatus);
    virtual ~MediaOutputBase() = default;
    MediaOutputBase(const MediaOutputBase&) = delete;
    MediaOutputBase& operator=(const MediaOutputBase&) = delete;

    virtual bool Start(int /*msTime*/ = 0) { return false; }
    virtual bool Stop() { return true; }
    virtual bool Process() { return false; }
    virtual bool AdjustSpeed(float /*speed*/) { return true; }
    virtual void SetVolume(int volume);
    virtual void Close() { Stop(); }
    virtual bool IsPlaying() { return m_mediaOutputStatus->status == 1; }

    std::string m_mediaFilename;
    MediaOutputStatus* m_mediaOutputStatus;
};
// The show's media being played, or null. Readers on other threads hold mediaOutputLock while they
// use it.
extern MediaOutputBase* mediaOutput;
extern std::mutex mediaOutputLock; // guards mediaOutput and the status it reports

void InitMediaOutput();
void CleanupMediaOutput();
void setVolume(int volume);
int getVolume();
// The factor for samples: (volume + adjustment) / 100, kept within 0..1.
float VolumeGain(int adjustment = 0);
