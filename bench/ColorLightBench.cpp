// ColorLight5a75Output per frame for a 512x256 matrix (8 outputs x 8 panels of 64x32, gamma 2.2)
// on one end of a veth pair in a private network namespace (run as root), each half against a
// bound measured in the same run:
//   FillRowBuffer  vs GammaGather: a bare gather through the same panel maps and a 256-byte table
//                  into a row buffer of the same size and placement;
//   SendRows       (the output's SendMessages of its brightness and row messages) vs BareSendmmsg:
//                  the same prepared messages handed to sendmmsg on a socket bound to the same end.
//   PrepData       (both halves and the sub-matrices) vs GatherThenBareSend: both bounds in turn.
// Frame (PrepData + SendData) reports frames (items) and wire bytes a second.

#include "channeloutput/ColorLight-5a-75/ColorLight-5a-75.h"
#include "channeloutput/PanelMatrix.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "overlays/PixelOverlayManager.h"
#include "player/Sequence.h"
#include "support/NetNamespace.h"

#include "PanelBenchConfig.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <net/if.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr int OUTPUTS = 8;
constexpr int CHAIN = 8;
constexpr int PANEL_WIDTH = 64;
constexpr int PANEL_HEIGHT = 32;
constexpr int START = 3000;
constexpr int64_t ROW_BUFFER_BYTES = int64_t(OUTPUTS) * CHAIN * PANEL_WIDTH * PANEL_HEIGHT * 3;

Json::Value Config() {
    Json::Value config = PanelMatrixBenchConfig(OUTPUTS, CHAIN, PANEL_WIDTH, PANEL_HEIGHT);
    config["interface"] = "v0";
    config["cfgVersion"] = 2;
    return config;
}

// A socket bound to the same end as the output's, for the bare send.
int BoundSocket() {
    int fd = socket(AF_PACKET, SOCK_RAW, 255);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = int(if_nametoindex("v0"));
    address.sll_halen = 6;
    if (fd < 0 || address.sll_ifindex == 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        std::perror("bench socket");
        std::abort();
    }
    return fd;
}

struct Setup {
    Setup() : channels(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES), rows(ROW_BUFFER_BYTES) {
        if (!EnterPrivateNetworkNamespace() || !MountPrivateSysfs() ||
            !RunCommand("ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up") ||
            !WaitForLinkUp("v0")) {
            std::fprintf(stderr, "the benchmark needs root for its own network namespace and veth pair\n");
            std::abort();
        }
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(false);
        SetSetting("ColorlightFirmwareVersion", 12); // no discovery
        FillBenchChannels(channels);
        Json::Value config = Config();
        output = std::make_unique<ColorLight5a75Output>(START, 0);
        if (!output->Init(config)) {
            std::abort();
        }
        layout = std::make_unique<PanelMatrix>(PANEL_WIDTH, PANEL_HEIGHT, 0);
        layout->AddPanelsFromConfig(config["panels"], kColorOrderRGB, "bench");
        FillPanelGammaTable(2.2, gamma);
        fd = BoundSocket();
        for (const mmsghdr& m : output->RowMessages().messages) {
            for (size_t i = 0; i < m.msg_hdr.msg_iovlen; i++) {
                wireBytes += int64_t(m.msg_hdr.msg_iov[i].iov_len);
            }
        }
    }
    ~Setup() { output->Close(); }
    std::vector<uint8_t> channels;
    std::vector<uint8_t> rows;
    std::unique_ptr<ColorLight5a75Output> output;
    std::unique_ptr<PanelMatrix> layout;
    uint8_t gamma[256];
    int fd = -1;
    int64_t wireBytes = 0; // brightness and row frames of one frame
};

Setup& setup() {
    static Setup s;
    return s;
}

void FillRowBuffer(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        s.output->FillRowBuffer(s.channels.data());
        benchmark::ClobberMemory();
    }
    ReportPerByte(state, ROW_BUFFER_BYTES);
}

// Every panel's map through the table into its place in the rows, chain mirrored as on the cards.
void GatherOnce(Setup& s) {
    const uint8_t* data = s.channels.data() + START;
    const size_t rowBytes = size_t(CHAIN) * PANEL_WIDTH * 3;
    for (int o = 0; o < OUTPUTS; o++) {
        for (int index : s.layout->OutputPanels(o)) {
            const LEDPanel& panel = s.layout->Panel(index);
            const int32_t* __restrict m = panel.pixelMap.data();
            uint8_t* __restrict out = s.rows.data() + size_t(o) * PANEL_HEIGHT * rowBytes +
                                      size_t(CHAIN - 1 - panel.panelNumber) * PANEL_WIDTH * 3;
            for (int y = 0; y < PANEL_HEIGHT; y++, out += rowBytes, m += PANEL_WIDTH * 3) {
                for (int k = 0; k < PANEL_WIDTH * 3; k++) {
                    out[k] = s.gamma[data[m[k]]];
                }
            }
        }
    }
    benchmark::DoNotOptimize(s.rows.data());
    benchmark::ClobberMemory();
}

// The output's own prepared messages, handed to the kernel until all are taken.
void BareSendOnce(Setup& s) {
    std::vector<mmsghdr>& messages = s.output->RowMessages().messages;
    const int total = int(messages.size());
    for (int sent = 0; sent < total;) {
        int result = sendmmsg(s.fd, &messages[sent], unsigned(total - sent), MSG_DONTWAIT);
        sent += result > 0 ? result : 0;
    }
}

void GammaGather(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        GatherOnce(s);
    }
    ReportPerByte(state, ROW_BUFFER_BYTES);
}

void SendRows(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        benchmark::DoNotOptimize(s.output->SendMessages(s.output->RowMessages()));
    }
    ReportPerByte(state, s.wireBytes);
}

void BareSendmmsg(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        BareSendOnce(s);
    }
    ReportPerByte(state, s.wireBytes);
}

// The whole of PrepData (sub-matrices, rows, brightness and row frames) against both bounds in turn.
void PrepData(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        s.output->PrepData(s.channels.data());
    }
    ReportPerByte(state, s.wireBytes);
}

void GatherThenBareSend(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        GatherOnce(s);
        BareSendOnce(s);
    }
    ReportPerByte(state, s.wireBytes);
}

void Frame(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        s.output->PrepData(s.channels.data());
        s.output->SendData(s.channels.data() + START);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * s.wireBytes);
}

} // namespace

BENCHMARK(FillRowBuffer);
BENCHMARK(GammaGather);
BENCHMARK(SendRows)->UseRealTime();
BENCHMARK(BareSendmmsg)->UseRealTime();
BENCHMARK(PrepData)->UseRealTime();
BENCHMARK(GatherThenBareSend)->UseRealTime();
BENCHMARK(Frame)->UseRealTime();

KIV_BENCHMARK_MAIN_WITH_RATIOS({"FillRowBuffer", "GammaGather"},
                               {"SendRows/real_time", "BareSendmmsg/real_time"},
                               {"PrepData/real_time", "GatherThenBareSend/real_time"})
