// GET /kivd/controller of the real kivd: pages of every kind of lighting controller, each served by
// a web server of its own on an address of the test's network namespace, come back as the
// controller's record; unknown, broken, huge, slow and silent pages come back as 404 within the
// time-out, and addresses that are not plain hosts as 400.

#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestHttpServer.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <chrono>
#include <map>
#include <memory>

namespace {
const std::string API = "http://127.0.0.1:32322";

// What a host serves: target to reply. "/" is its web root.
using Site = std::map<std::string, TestHttpReply>;

TestHttpReply Page(const std::string& body, int status = 200) {
    return TestHttpReply{status, body};
}
TestHttpReply Json(const std::string& body) {
    return TestHttpReply{200, body, "application/json"};
}
TestHttpReply Silent() {
    return TestHttpReply{200, "", "text/html", TestHttpReply::NeverAnswer};
}
TestHttpReply Hangup() {
    return TestHttpReply{200, "", "text/html", TestHttpReply::CloseAtOnce};
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

struct DetectionCase {
    const char* name;
    Site site;
    // Expected members of the answer as JSON text; empty for a 404.
    const char* expected;
};

const std::string KIV_PAGE = "<html><title>Quarn Player - KIV</title><body>status</body></html>";
const std::string KIV_INFO = "/api/system/info?simple=1";
const std::string QUARN_TABLE = "<table><tr><td>Name:</td><td> barn-left </td></tr>"
                                "<tr><td>SW Version:</td><td class=\"v\">3.12</td></tr></table>";

std::string WledInfo(const std::string& version) {
    return "{\"ver\":\"" + version + "\",\"arch\":\"esp32\",\"leds\":{\"count\":50}}";
}

const DetectionCase CASES[] = {
    {"KivPeerWithRaspberryPrefix",
     {{"/", Page(KIV_PAGE)},
      {KIV_INFO, Json(R"({"HostName":"stage-left","Version":"2.1","Variant":"Pi 4 Model B","Mode":"master",
                           "channelRanges":"0-511","uuid":"U-1","majorVersion":2,"minorVersion":1})")}},
     R"({"vendor":"KIV","hostname":"stage-left","typeStr":"Raspberry Pi 4 Model B","typeId":26,"version":"2.1",
         "ranges":"0-511","uuid":"U-1","majorVersion":2,"minorVersion":1,"systemMode":2,"multisync":true})"},
    {"KivPeerBridgeWithKnownVariant",
     {{"/", Page(KIV_PAGE)},
      {KIV_INFO, Json(R"({"HostName":"b","Version":"2.0","Variant":"Generic x86_64","Mode":"bridge",
                           "multisync":false})")}},
     R"({"typeStr":"Generic x86_64","typeId":2,"systemMode":1,"multisync":false,"ranges":"0-0","uuid":"Unknown"})"},
    {"KivPeerWithUnknownVariantAndMode",
     {{"/", Page(KIV_PAGE)}, {KIV_INFO, Json(R"({"Variant":"Toaster","Mode":"odd","majorVersion":-4})")}},
     R"({"typeStr":"Toaster","typeId":1,"systemMode":2,"majorVersion":0,"hostname":"127.0.0.10"})"},
    {"KivPeerWhoseInfoFailsFallsThrough",
     {{"/", Page(KIV_PAGE + "HinksPix Config")}, {KIV_INFO, Page("gone", 500)}},
     R"({"vendor":"HolidayCoro","typeId":253,"typeStr":"HinksPix"})"},
    {"KivPeerWithTruncatedInfo", {{"/", Page(KIV_PAGE)}, {KIV_INFO, Json(R"({"HostName":"x","Vers)")}}, ""},
    {"KivPeerWhoseInfoIsNoObject", {{"/", Page(KIV_PAGE)}, {KIV_INFO, Json("[1,2]")}}, ""},
    {"QuarnByPortCount",
     {{"/", Page("<link href=\"css/quarn.css\">" + QUARN_TABLE)},
      {"/status.xml", Page("<response><np>32</np></response>")}},
     R"({"vendor":"Quarn","typeId":137,"typeStr":"Quarn 32","hostname":"barn-left","version":"3.12",
         "majorVersion":3,"minorVersion":12})"},
    {"QuarnByReportedType",
     {{"/", Page("<script src=\"js/cntrlr_4.js\"></script>")},
      {"/status.xml", Page("<response><type>16</type><np>48</np></response>")}},
     R"({"typeId":144,"typeStr":"Quarn 48","hostname":"127.0.0.10","version":"Unknown"})"},
    {"QuarnWithStatusWithoutTags",
     {{"/", Page("<script src=\"/q16v2.js\"></script>")}, {"/status.xml", Page("<response>")}},
     R"({"typeId":136,"typeStr":"Quarn 16"})"},
    {"QuarnWhoseStatusFails", {{"/", Page("<link href=\"css/quarn.css\">")}}, ""},
    {"SanDevices",
     {{"/", Page("<h1>Controller Model E682</h1><tr><th>Firmware Version:</th></td><td></td><td>4.3</td>")}},
     R"({"vendor":"SanDevices","typeId":255,"typeStr":"E682","version":"4.3","majorVersion":4,"minorVersion":3})"},
    {"SanDevicesWithWirelessFirmware",
     {{"/", Page("Controller Model E6804 <th>Firmware Version:</th></td><td> 5.051-W5</td>")}},
     R"({"typeStr":"E6804","version":"5.051","majorVersion":5,"minorVersion":51})"},
    {"ESPixelStick",
     {{"/", Page("<script src=\"esps.js\"></script>")},
      {"/conf", Json(R"({"network":{"hostname":"esps-garage"},"device":{"id":"x"}})")}},
     R"({"vendor":"ESPixelStick","typeId":194,"hostname":"esps-garage"})"},
    {"ESPixelStickWithoutConfig", {{"/", Page("<script src=\"esps.js\"></script>")}}, ""},
    {"AlphaPixByName",
     {{"/", Page("<title>AlphaPix 16</title> Currently Installed Firmware Version:  2.7 ")}},
     R"({"vendor":"HolidayCoro","typeId":254,"typeStr":"AlphaPix 16","version":"2.7","majorVersion":2})"},
    {"AlphaPixByPorts",
     {{"/", Page("4 Port Ethernet to SPI Controller")}},
     R"({"typeId":254,"typeStr":"AlphaPix 4","version":"Unknown"})"},
    {"HinksPix", {{"/", Page("<title>HinksPix Config</title>")}}, R"({"typeId":253,"typeStr":"HinksPix"})"},
    {"DIYLEDExpress",
     {{"/", Page("DIYLEDExpress E1.31 Bridge Configuration Page<br>Firmware Rev: 4.10")}},
     R"({"vendor":"DIYLEDExpress","typeId":252,"typeStr":"E1.31 Bridge","version":"4.10","minorVersion":10})"},
    {"WLED",
     {{"/", Page("<title>WLED UI</title>")}, {"/json/info", Json(WledInfo("0.14.1"))}},
     R"({"vendor":"WLED","typeId":251,"typeStr":"esp32","version":"0.14.1","majorVersion":0,"minorVersion":14})"},
    {"WLEDVersionNotANumber",
     {{"/", Page("WLED UI")}, {"/json/info", Json(WledInfo("abc"))}},
     R"({"version":"abc","majorVersion":0,"minorVersion":0})"},
    {"WLEDVersionWithoutMinor",
     {{"/", Page("WLED UI")}, {"/json/info", Json(WledInfo("1."))}},
     R"({"version":"1.","majorVersion":1,"minorVersion":0})"},
    {"WLEDVersionTooLarge",
     {{"/", Page("WLED UI")}, {"/json/info", Json(WledInfo("99999999999.1"))}},
     R"({"version":"99999999999.1","majorVersion":0,"minorVersion":1})"},
    {"WLEDWhoseInfoHangsUp", {{"/", Page("WLED UI")}, {"/json/info", Hangup()}}, ""},
    {"ChainOrderPeerBeforeWLED",
     {{"/", Page(KIV_PAGE + "WLED UI")},
      {KIV_INFO, Json(R"({"Variant":"Pi 5"})")},
      {"/json/info", Json(WledInfo("1.0"))}},
     R"({"vendor":"KIV","typeStr":"Raspberry Pi 5","typeId":30})"},
    {"ChainOrderHinksPixBeforeDIYLEDExpress",
     {{"/", Page("DIYLEDExpress E1.31 Bridge Configuration Page HinksPix Config")}},
     R"({"typeId":253})"},
    {"EmptyPage", {{"/", Page("")}}, ""},
    {"UnknownPage", {{"/", Page("<html><body>A printer</body></html>")}}, ""},
    {"BinaryPage", {{"/", Page(std::string("\0\xff\x01WLED\0UI\x80Quarn Player", 21))}}, ""},
    {"PageOverTheLimit", {{"/", Page(std::string(10 * 1024 * 1024, 'x') + "HinksPix Config")}}, ""},
    {"RootHangsUp", {{"/", Hangup()}}, ""},
};

// One daemon answers every case of a test: starting it costs more than all the requests together.
class DaemonController : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        media = std::make_unique<TestMediaDir>();
        daemon = std::make_unique<DaemonProcess>(media->path());
        ASSERT_TRUE(daemon->start({"-f"}) && daemon->waitForOutput("Starting main processing loop") &&
                    WaitForHttp(API + "/kivd/version"));
    }
    static void TearDownTestSuite() {
        daemon.reset();
        media.reset();
    }

    // Serves the site on 127.0.0.10:80 and asks the daemon about that address.
    static HttpResult Detect(const Site& site, const std::string& address = "127.0.0.10") {
        TestHttpServer server(address);
        EXPECT_TRUE(server.listening());
        for (const auto& [target, reply] : site) {
            server.serve(target, reply);
        }
        return HttpRequest("GET", API + "/kivd/controller?ip=" + address, "", "application/json", 10000);
    }

    static std::unique_ptr<TestMediaDir> media;
    static std::unique_ptr<DaemonProcess> daemon;
};
std::unique_ptr<TestMediaDir> DaemonController::media;
std::unique_ptr<DaemonProcess> DaemonController::daemon;

// Checks one case's answer: the record with every field and the expected values, or a 404.
void ExpectAnswer(const DetectionCase& c, const HttpResult& answer) {
    Json::Value json = ParseJson(answer.body);
    if (std::string(c.expected).empty()) {
        EXPECT_EQ(404, answer.status) << answer.body;
        EXPECT_EQ("ERROR", json["Status"].asString());
        return;
    }
    ASSERT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ("127.0.0.10", json["ip"].asString());
    for (const char* field : {"ip", "hostname", "vendor", "vendorURL", "typeId", "typeStr", "ranges",
                              "version", "uuid", "majorVersion", "minorVersion", "systemMode", "multisync"}) {
        EXPECT_TRUE(json.isMember(field)) << field;
    }
    Json::Value expected = ParseJson(c.expected);
    for (const auto& name : expected.getMemberNames()) {
        EXPECT_EQ(expected[name], json[name]) << name << " in " << answer.body;
    }
}

TEST_F(DaemonController, AnswersTheRecordOfEachKindOfPageOrNotFound) {
    for (const DetectionCase& c : CASES) {
        SCOPED_TRACE(c.name);
        ExpectAnswer(c, Detect(c.site));
    }
}

TEST_F(DaemonController, GivesUpOnSilentHostsWithinTheTimeOut) {
    for (const Site& site : {Site{{"/", Silent()}}, Site{{"/", Page("WLED UI")}, {"/json/info", Silent()}}}) {
        auto start = std::chrono::steady_clock::now();
        HttpResult answer = Detect(site);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(404, answer.status);
        EXPECT_LT(seconds, 5.0);
    }
}

TEST_F(DaemonController, AcceptsIPv4AddressesAndHostNamesOnly) {
    ASSERT_EQ(404, HttpGet(API + "/kivd/controller?ip=no-such-host.invalid").status);
    TestHttpServer server("127.0.0.1");
    server.serve("/", "HinksPix Config");
    HttpResult named = HttpGet(API + "/kivd/controller?ip=localhost");
    EXPECT_EQ(200, named.status) << named.body;
    EXPECT_EQ("localhost", ParseJson(named.body)["hostname"].asString());
    size_t requestsSoFar = server.requests().size();
    for (const char* address : {"", "127.0.0.1:80", "127.0.0.1/x", "a%20b", "user%40127.0.0.1",
                                "127.0.0.1%3F", "%5B::1%5D", "host_name"}) {
        HttpResult answer = HttpGet(API + "/kivd/controller?ip=" + address);
        EXPECT_EQ(400, answer.status) << address;
        EXPECT_EQ("ERROR", ParseJson(answer.body)["Status"].asString()) << address;
    }
    EXPECT_EQ(requestsSoFar, server.requests().size());
}

} // namespace
