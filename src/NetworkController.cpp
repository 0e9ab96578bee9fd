#include "NetworkController.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/RegExCache.h"
#include "common/SimpleMarkup.h"
#include "common/UrlHelpers.h"
#include "player/MultiSync.h"

#include <climits>
#include <cstdlib>
#include <memory>

// Number runs in these patterns are bounded: no device reports a model or version number longer
// than nine digits, and an unbounded run lets a hostile page drive the matcher's recursion as deep
// as the page is long.
namespace {

const char* const KIV_VENDOR_URL = "https://kivd.example.org/forum";
const char* const QUARN_VENDOR_URL = "https://quarn.example.com/";
const char* const SANDEVICES_VENDOR_URL = "https://www.sandevices.com/";
const char* const ESPIXELSTICK_VENDOR_URL = "https://forkineye.com/espixelstick/";
const char* const HOLIDAYCORO_VENDOR_URL = "https://www.holidaycoro.com/";
const char* const DIYLEDEXPRESS_VENDOR_URL = "http://www.diyledexpress.com/";
const char* const WLED_VENDOR_URL = "https://kno.wled.ge/";

constexpr int ESPIXELSTICK_TYPE = 194;
constexpr int WLED_TYPE = 251;
constexpr int DIYLEDEXPRESS_TYPE = 252;
constexpr int HINKSPIX_TYPE = 253;
constexpr int ALPHAPIX_TYPE = 254;
constexpr int SANDEVICES_TYPE = 255;
constexpr int UNRECOGNISED_MODEL = 1;

// Quarn controllers: ports reported in "np" select the model; a "type" tag, when the device reports
// one, names it directly (numbers below 128 are offsets from 128). A page that shows neither is
// taken for the 16-port model, the smallest.
constexpr int QUARN_TYPE_16 = 136;
constexpr int QUARN_TYPE_32 = 137;
constexpr int QUARN_TYPE_48 = 144;
constexpr int QUARN_TYPE_BASE = 128;

// strtol of a version part, or 0 for a part that is negative or too large for the record.
unsigned int versionPart(const char* text, char** end) {
    long value = std::strtol(text, end, 10);
    if (value < 0 || value > (long)UINT_MAX) {
        return 0;
    }
    return (unsigned int)value;
}

unsigned int toVersionNumber(long long value) {
    return (value < 0 || value > (long long)UINT_MAX) ? 0 : (unsigned int)value;
}

int quarnTypeFromStatus(const std::string& status) {
    long reported = 0;
    if (ParseInt(getSimpleXMLTag(status, "type"), reported) && reported > 0 && reported < 256) {
        return reported < QUARN_TYPE_BASE ? (int)reported + QUARN_TYPE_BASE : (int)reported;
    }
    std::string ports = getSimpleXMLTag(status, "np");
    if (ports == "32") {
        return QUARN_TYPE_32;
    }
    if (ports == "48") {
        return QUARN_TYPE_48;
    }
    return QUARN_TYPE_16;
}

int modeFromName(const std::string& name, int current) {
    if (name == "bridge") {
        return BRIDGE_MODE;
    }
    if (name == "player" || name == "master") {
        return PLAYER_MODE;
    }
    if (name == "remote") {
        return REMOTE_MODE;
    }
    return current;
}

} // namespace

NetworkController::NetworkController(const std::string& address) : ip(address), hostname(address) {}

NetworkController* NetworkController::DetectControllerViaHTML(const std::string& ip,
                                                              const std::string& html) {
    if (html.empty()) {
        return nullptr;
    }
    using Detector = bool (NetworkController::*)(const std::string&);
    static const Detector chain[] = {
        &NetworkController::DetectKIV,
        &NetworkController::DetectQuarnController,
        &NetworkController::DetectSanDevicesController,
        &NetworkController::DetectESPixelStickController,
        &NetworkController::DetectAlphaPixController,
        &NetworkController::DetectHinksPixController,
        &NetworkController::DetectDIYLEDExpressController,
        &NetworkController::DetectWLEDController,
    };
    auto record = std::make_unique<NetworkController>(ip);
    for (Detector detect : chain) {
        if ((record.get()->*detect)(html)) {
            return record.release();
        }
    }
    return nullptr;
}

bool NetworkController::fetch(const std::string& path, std::string& body) const {
    return urlGet("http://" + ip + path, body, DETECTION_TIMEOUT_MS, DETECTION_MAX_BYTES);
}

bool NetworkController::fetchJson(const std::string& path, Json::Value& json) const {
    std::string body;
    if (!fetch(path, body)) {
        return false;
    }
    // jsoncpp throws rather than fails on some input (nesting past its limit).
    try {
        return LoadJsonFromString(body, json) && json.isObject();
    } catch (const std::exception&) {
        return false;
    }
}

void NetworkController::setVersion(const std::string& text) {
    version = text;
    char* end = nullptr;
    majorVersion = versionPart(text.c_str(), &end);
    minorVersion = (*end == '.') ? versionPart(end + 1, &end) : 0;
}

bool NetworkController::DetectKIV(const std::string& html) {
    if (!contains(html, "Quarn Player - KIV")) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a KIV instance, checking further\n", ip.c_str());
    Json::Value info;
    if (!fetchJson("/api/system/info?simple=1", info)) {
        return false;
    }
    hostname = JsonString(info["HostName"], hostname);
    vendor = "KIV";
    vendorURL = KIV_VENDOR_URL;
    if (info.isMember("channelRanges")) {
        ranges = JsonString(info["channelRanges"], ranges);
    }
    if (info.isMember("uuid")) {
        uuid = JsonString(info["uuid"], uuid);
    }
    version = JsonString(info["Version"], version);
    typeStr = JsonString(info["Variant"], typeStr);
    typeId = MultiSync::ModelStringToType(typeStr);
    if (typeId == UNRECOGNISED_MODEL) {
        int prefixed = MultiSync::ModelStringToType("Raspberry " + typeStr);
        if (prefixed != UNRECOGNISED_MODEL) {
            typeId = prefixed;
            typeStr = "Raspberry " + typeStr;
        }
    }
    std::string mode = JsonString(info["Mode"]);
    systemMode = modeFromName(mode, systemMode);
    if (mode == "master") {
        multisync = true;
    }
    if (info.isMember("multisync")) {
        multisync = JsonBool(info["multisync"], multisync);
    }
    majorVersion = toVersionNumber(JsonInt64(info["majorVersion"]));
    minorVersion = toVersionNumber(JsonInt64(info["minorVersion"]));
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectQuarnController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is a Quarn controller\n", ip.c_str());
    static const RegExCache page("\"css/quarn.css\"|\"/q16v2.js\"|\"js/cntrlr_(\\d{1,9}).js\"");
    if (!page.search(html)) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a Quarn controller, checking further\n", ip.c_str());
    std::string status;
    if (!fetch("/status.xml", status)) {
        return false;
    }
    vendor = "Quarn";
    vendorURL = QUARN_VENDOR_URL;
    typeId = quarnTypeFromStatus(status);
    typeStr = MultiSync::GetTypeString(typeId);
    std::string name = getSimpleHTMLTTag(html, "Name:</td>");
    if (!name.empty()) {
        hostname = name;
    }
    std::string firmware = getSimpleHTMLTTag(html, "SW Version:</td>");
    if (!firmware.empty()) {
        setVersion(firmware);
    }
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectSanDevicesController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is a SanDevices controller\n", ip.c_str());
    static const RegExCache model("Controller Model (E[0-9]{1,9})");
    std::smatch found;
    if (!model.search(html, found)) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a SanDevices controller, checking further\n", ip.c_str());
    vendor = "SanDevices";
    vendorURL = SANDEVICES_VENDOR_URL;
    typeId = SANDEVICES_TYPE;
    typeStr = found[1];
    static const RegExCache firmware("Firmware Version:</th></td><td></td><td>([0-9]{1,9}.[0-9]{1,9})</td>");
    static const RegExCache firmwareW(
        "Firmware Version:</th></td><td>\\s?([0-9]{1,9}.[0-9]{1,9})(-W\\d{1,9})?</td>");
    if (firmware.search(html, found) || firmwareW.search(html, found)) {
        setVersion(found[1]);
    }
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectESPixelStickController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is an ESPixelStick\n", ip.c_str());
    if (!contains(html, "\"esps.js\"")) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially an ESPixelStick, checking further\n", ip.c_str());
    Json::Value conf;
    if (!fetchJson("/conf", conf)) {
        return false;
    }
    vendor = "ESPixelStick";
    vendorURL = ESPIXELSTICK_VENDOR_URL;
    typeId = ESPIXELSTICK_TYPE;
    typeStr = "ESPixelStick";
    const Json::Value& network = conf["network"];
    if (network.isObject()) {
        hostname = JsonString(network["hostname"], hostname);
    }
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectAlphaPixController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is an AlphaPix controller\n", ip.c_str());
    static const RegExCache named("AlphaPix (\\d{1,9}|Flex|Evolution)");
    static const RegExCache ported("(\\d{1,9}) Port Ethernet to SPI Controller");
    std::smatch found;
    if (!named.search(html, found) && !ported.search(html, found)) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially an AlphaPix controller, checking further\n", ip.c_str());
    vendor = "HolidayCoro";
    vendorURL = HOLIDAYCORO_VENDOR_URL;
    typeId = ALPHAPIX_TYPE;
    typeStr = "AlphaPix " + found[1].str();
    static const RegExCache firmware("Currently Installed Firmware Version:  ([0-9]{1,9}.[0-9]{1,9})");
    if (firmware.search(html, found)) {
        setVersion(found[1]);
    }
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectHinksPixController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is a HinksPix controller\n", ip.c_str());
    if (!contains(html, "HinksPix Config")) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a HinksPix controller, checking further\n", ip.c_str());
    vendor = "HolidayCoro";
    vendorURL = HOLIDAYCORO_VENDOR_URL;
    typeId = HINKSPIX_TYPE;
    typeStr = "HinksPix";
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectDIYLEDExpressController(const std::string& html) {
    LogDebug(LG_SYNC, "Checking if %s is a DIYLEDExpress controller\n", ip.c_str());
    if (!contains(html, "DIYLEDExpress E1.31 Bridge Configuration Page")) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a DIYLEDExpress controller, checking further\n", ip.c_str());
    vendor = "DIYLEDExpress";
    vendorURL = DIYLEDEXPRESS_VENDOR_URL;
    typeId = DIYLEDEXPRESS_TYPE;
    typeStr = "E1.31 Bridge";
    static const RegExCache firmware("Firmware Rev: ([0-9]{1,9}.[0-9]{1,9})");
    std::smatch found;
    if (firmware.search(html, found)) {
        setVersion(found[1]);
    }
    DumpControllerInfo();
    return true;
}

bool NetworkController::DetectWLEDController(const std::string& html) {
    if (!contains(html, "WLED UI")) {
        return false;
    }
    LogDebug(LG_SYNC, "%s is potentially a WLED controller, checking further\n", ip.c_str());
    Json::Value info;
    if (!fetchJson("/json/info", info)) {
        return false;
    }
    vendor = "WLED";
    vendorURL = WLED_VENDOR_URL;
    typeId = WLED_TYPE;
    setVersion(JsonString(info["ver"], version));
    typeStr = JsonString(info["arch"], typeStr);
    DumpControllerInfo();
    return true;
}

void NetworkController::DumpControllerInfo() const {
    LogDebug(LG_SYNC,
             "Network Controller Info:\nIP              : %s\nUUID            : %s\nHostname        : %s\n"
             "Vendor          : %s\nVendor URL      : %s\nTypeID          : %d\nTypeStr         : %s\n"
             "Channel Ranges  : %s\nFirmware Version: %s\nFirmware MajorV : %u\nFirmware MinorV : %u\n"
             "System Mode     : %s\n",
             ip.c_str(), uuid.c_str(), hostname.c_str(), vendor.c_str(), vendorURL.c_str(), typeId,
             typeStr.c_str(), ranges.c_str(), version.c_str(), majorVersion, minorVersion,
             getKIVmodeName(systemMode).c_str());
}

Json::Value NetworkController::ToJson() const {
    Json::Value json;
    json["ip"] = ip;
    json["hostname"] = hostname;
    json["vendor"] = vendor;
    json["vendorURL"] = vendorURL;
    json["typeId"] = typeId;
    json["typeStr"] = typeStr;
    json["ranges"] = ranges;
    json["version"] = version;
    json["uuid"] = uuid;
    json["majorVersion"] = majorVersion;
    json["minorVersion"] = minorVersion;
    json["systemMode"] = systemMode;
    json["multisync"] = multisync;
    return json;
}
