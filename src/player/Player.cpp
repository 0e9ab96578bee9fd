#include "Player.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"

Player Player::INSTANCE;

// A playlist to resume (after a restart) cannot be played here; say so instead of dropping it silently.
void Player::Init() {
    std::string resume = getSetting("resumePlaylist");
    if (!resume.empty()) {
        LogInfo(LG_PLAYLIST, "Not resuming playlist '%s': playlists are not played by this daemon\n",
                resume.c_str());
    }
    LogDebug(LG_PLAYLIST, "Player initialised (idle)\n");
}

void Player::GetCurrentStatus(Json::Value& result) {
    Json::Value playlist;
    playlist["playlist"] = "";
    playlist["type"] = "";
    playlist["index"] = "0";
    playlist["count"] = "0";
    result["current_playlist"] = playlist;
    result["current_sequence"] = "";
    result["current_song"] = "";
    for (const char* key : {"seconds_played", "seconds_elapsed", "seconds_remaining", "repeat_mode"}) {
        result[key] = "0";
    }
    result["time_elapsed"] = "00:00";
    result["time_remaining"] = "00:00";
}

std::shared_ptr<httpserver::http_response> Player::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["status"] = GetStatus();
    result["status_name"] = "idle";
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
