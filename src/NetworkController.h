#pragma once
// Recognises another lighting controller from its web root page. DetectControllerViaHTML runs a
// fixed chain of detectors over the page; the first that recognises it fills in a record, which
// the caller then owns. Some detectors fetch one more page or JSON document from the same host
// (bounded by DETECTION_TIMEOUT_MS and DETECTION_MAX_BYTES), so detection blocks the calling
// thread; records share no state, so any thread may detect at once.

#include <jsoncpp/json/json.h>

#include <string>

class NetworkController {
public:
    // Limits of every request detection makes to a host that may be anything.
    static constexpr long DETECTION_TIMEOUT_MS = 3000;
    static constexpr size_t DETECTION_MAX_BYTES = 1024 * 1024;

    explicit NetworkController(const std::string& ip);

    // Null for an empty page or one no detector recognises; otherwise a new record for the caller.
    static NetworkController* DetectControllerViaHTML(const std::string& ip, const std::string& html);

    void DumpControllerInfo() const;
    // Every field, under its own name; systemMode as its number.
    Json::Value ToJson() const;

    std::string ip;
    std::string hostname;
    std::string vendor = "Unknown";
    std::string vendorURL = "Unknown";
    int typeId = 0;
    std::string typeStr = "Unknown";
    std::string ranges = "0-0";
    std::string version = "Unknown";
    std::string uuid = "Unknown";
    unsigned int majorVersion = 0;
    unsigned int minorVersion = 0;
    int systemMode = 2; // the player-mode flags of getKIVmode(): 1 bridge, 2 player, 8 remote
    bool multisync = false;

private:
    bool DetectKIV(const std::string& html);
    bool DetectQuarnController(const std::string& html);
    bool DetectSanDevicesController(const std::string& html);
    bool DetectESPixelStickController(const std::string& html);
    bool DetectAlphaPixController(const std::string& html);
    bool DetectHinksPixController(const std::string& html);
    bool DetectDIYLEDExpressController(const std::string& html);
    bool DetectWLEDController(const std::string& html);

    // Stores the version text and splits "major.minor" into the two numbers.
    void setVersion(const std::string& text);
    // GET "http://" + ip + path within the detection limits.
    bool fetch(const std::string& path, std::string& body) const;
    bool fetchJson(const std::string& path, Json::Value& json) const;
};
