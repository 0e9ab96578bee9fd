#pragma once
// The media output base of the wider player, reduced to what the daemon calls: the media status
// and the volume. Stand-in: no media is played here (the status stays 0). The volume is kept in
// the integer setting "volume" (in memory: the settings file, when it has one, wins at its next
// load), clamped to 0..100; default 70.

struct MediaOutputStatus {
    int status = 0; // 1 while media plays
};
// Points at the one status object for the process' life.
extern MediaOutputStatus* mediaOutputStatus;

void InitMediaOutput();
void CleanupMediaOutput();
void setVolume(int volume);
int getVolume();
