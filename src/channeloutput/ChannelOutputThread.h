#pragma once
// The channel-output thread: sends the sequence's channel buffer through the outputs once per
// frame at the frame rate (integer setting "ChannelOutputFrameRate", default 40, read when the
// thread starts; 1 to 240), and at once when ForceChannelOutputNow is called. It calls
// StartingOutput when it starts and StoppingOutput when it stops, and stops by itself once it has
// had nothing to show for IDLE_STOP_MS (no bridge data, no overlays, no test, no "alwaysTransmit", which is
// read with the frame rate when the thread starts). Each frame the overlays and then a running channel test
// pattern are drawn over the channel buffer before the outputs prepare and send it. Start, stop and force may
// be called from any thread; the state flags are atomics (sequentially consistent) and the wake-up is a
// condition variable under threadLock.

int StartChannelOutputThread();
int StopChannelOutputThread();
bool ChannelOutputThreadIsRunning();
void ForceChannelOutputNow();

// Frames sent since the process started (each PrepareChannelData + SendChannelData pair).
unsigned long ChannelOutputFramesSent();
// The frame period in use, in milliseconds.
int ChannelOutputFramePeriodMS();

// The channel output switch (on at start). While it is off the thread keeps its pace, its idle stop
// and its bridge expiry, but none of its frames reaches the outputs: PrepareChannelData and SendChannelData
// are skipped and the frame count stands still. Any thread may switch it (an atomic, sequentially
// consistent); the frame being sent when it is switched off still goes out.
void EnableChannelOutput();
void DisableChannelOutput();
bool ChannelOutputEnabled();

constexpr int IDLE_STOP_MS = 5000;
