#pragma once
// Stand-in for the wider player's playlist player, which is outside this system. It never plays:
// the status is always 0 (idle) and every step does nothing. Serves "/player": a GET answers
// {"status": 0, "status_name": "idle"}; other methods 405. No state, so any thread may call it.

#include "common/httpserver/httpserver.h"

#include <jsoncpp/json/json.h>

#include <cstdint>

#include <string>

class Player : public httpserver::http_resource {
public:
    static Player INSTANCE;

    void Init();
    bool IsPlaying() { return false; }
    void Process() {}
    // 0 idle, 1 playing.
    int GetStatus() { return 0; }
    void Cleanup() {}
    // Scheduler entry of the playlist that ended, -1 for none.
    int GetScheduleEntry() { return -1; }
    // Whether the playlist that just ended was started by the scheduler.
    bool WasScheduled() { return false; }
    void ProcessMedia() {}
    std::string GetPlaylistName() { return ""; }
    int GetPosition() { return 0; }
    // The playing playlist's file time and configuration; 0 and an empty object when idle.
    uint64_t GetFileTime() { return 0; }
    Json::Value GetConfig() { return Json::Value(Json::objectValue); }
    // Adds the idle player's keys to a status object: "current_playlist" {"playlist": "",
    // "type": "", "index": "0", "count": "0"}, "current_sequence" and "current_song" "",
    // "seconds_played", "seconds_elapsed" and "seconds_remaining" "0", "time_elapsed" and
    // "time_remaining" "00:00", "repeat_mode" "0".
    void GetCurrentStatus(Json::Value& result);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
