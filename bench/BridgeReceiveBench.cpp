// The bridge's E1.31 receive path. Two parts:
//  - BM_StoreE131Packet: decoding and storing one 510-channel packet (universe lookup, sequence
//    check, copy into the channel buffer), against its bound BM_CopyChannels, a memcpy of the
//    same 510 bytes to the same places.
//  - Streams: a sender process in the same (private) network namespace sends E1.31 packets for
//    1,000 universes of 510 channels to the bridge's socket, once paced at 40,000 packets a second
//    and once as fast as it can; the bridge runs on this thread's event loop as in the daemon.
//    Printed: packets sent, received and stored, lost (sent minus counted), packets per second,
//    CPU seconds of the receiving thread per million packets and its share of one core.
// Needs root (it makes a network namespace).

#include "BridgeReceive.h"
#include "BridgeState.h"
#include "common/EPollManager.h"
#include "common/Log.h"
#include "e131bridge.h"
#include "e131bridge/WirePackets.h"
#include "player/Sequence.h"

#include "RatioReporter.h"

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {
constexpr int UNIVERSES = 1000;
constexpr int CHANNELS = 510;

std::vector<wire::Bytes> packets;

void setUpBridgeState() {
    std::string media = std::filesystem::temp_directory_path() / "kiv-bridge-bench";
    std::filesystem::create_directories(media + "/config");
    std::ofstream(media + "/config/ci-universes.json")
        << R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": 1000, "universes": [)"
        << R"({"active": 1, "id": 1, "universeCount": )" << UNIVERSES
        << R"(, "startChannel": 1, "channelCount": )" << CHANNELS << R"(, "type": 1}]}]})";
    setenv("KIV_MEDIA_DIR", media.c_str(), 1);
    KIVLogger::INSTANCE.E131Bridge.level = KIVLOG_WARN;
    sequence = new Sequence();
    for (int u = 1; u <= UNIVERSES; u++) {
        packets.push_back(wire::E131Data(u, 0, wire::Ramp(CHANNELS, u)));
    }
}

void BM_StoreE131Packet(benchmark::State& state) {
    std::vector<wire::Bytes> slots = packets;
    size_t i = 0;
    long long ms = 1000;
    for (auto _ : state) {
        wire::Bytes& p = slots[i];
        p[111]++; // in sequence
        benchmark::DoNotOptimize(Bridge_StoreData(p.data(), p.size(), ms));
        i = (i + 1) % slots.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreE131Packet);

void BM_CopyChannels(benchmark::State& state) {
    size_t i = 0;
    for (auto _ : state) {
        std::memcpy(sequence->Data() + i * CHANNELS, packets[i].data() + 126, CHANNELS);
        benchmark::ClobberMemory();
        i = (i + 1) % packets.size();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CopyChannels);

long countedPackets() {
    std::lock_guard<std::mutex> lk(BridgeState::state.inputUniversesLock);
    long total = 0;
    for (const auto& e : BridgeState::state.inputUniverses) {
        total += e.packetsReceived;
    }
    return total;
}

double threadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The sender: batches of sendmmsg for `seconds`, paced to `rate` packets a second (0: flat out).
// Stops early after `limit` packets when that is not negative. Writes the number of packets the
// kernel accepted to the pipe.
[[noreturn]] void sender(int rate, double seconds, int resultPipe, long limit = -1) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5568);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    constexpr int BATCH = 40; // 1 ms of the paced stream
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    std::vector<wire::Bytes> mine = packets;
    long sent = 0;
    size_t next = 0;
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    for (long batch = 0; std::chrono::steady_clock::now() < end && (limit < 0 || sent < limit); batch++) {
        if (rate > 0) {
            std::this_thread::sleep_until(start +
                                          std::chrono::duration<double>(batch * BATCH / double(rate)));
        }
        for (int i = 0; i < BATCH; i++, next = (next + 1) % mine.size()) {
            mine[next][111]++;
            iov[i] = {mine[next].data(), mine[next].size()};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int done = sendmmsg(fd, msgs, BATCH, 0);
        sent += done > 0 ? done : 0;
    }
    if (write(resultPipe, &sent, sizeof(sent)) != sizeof(sent)) {
        _exit(1);
    }
    _exit(0);
}

void stream(const char* name, int rate, double seconds) {
    int result[2];
    if (pipe(result) != 0) {
        return;
    }
    long before = countedPackets();
    double cpuBefore = threadCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        sender(rate, seconds, result[1]);
    }
    pollfd done{result[0], POLLIN, 0};
    while (poll(&done, 1, 0) == 0) {
        EPollManager::INSTANCE.waitForEvents(10);
    }
    while (EPollManager::INSTANCE.waitForEvents(50) != EPollManager::TIMEOUT) {
    }
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = threadCpuSeconds() - cpuBefore;
    long sent = 0;
    if (read(result[0], &sent, sizeof(sent)) != sizeof(sent)) {
        sent = -1;
    }
    waitpid(child, nullptr, 0);
    close(result[0]);
    close(result[1]);
    long counted = countedPackets() - before;
    printf("%-10s sent %9ld  stored %9ld  lost %7ld (%.3f%%)  %8.0f packets/s  %.3f CPU s per million "
           "packets  %5.1f%% of one core\n",
           name, sent, counted, sent - counted, sent > 0 ? 100.0 * (sent - counted) / sent : 0.0,
           counted / elapsed, counted > 0 ? cpu / counted * 1e6 : 0.0, 100.0 * cpu / elapsed);
}

// The peak of the receive path itself, which a sender on this same machine cannot outrun: the
// sender queues `count` packets while the bridge does not read (its buffer enlarged for this run
// only), then the bridge drains the queue in full batches, timed.
void backlog(long count) {
    int big = 256 << 20;
    setsockopt(BridgeState::state.bridgeSock, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof(big));
    int result[2];
    if (pipe(result) != 0) {
        return;
    }
    long before = countedPackets();
    pid_t child = fork();
    if (child == 0) {
        sender(0, 60.0, result[1], count);
    }
    long sent = 0;
    if (read(result[0], &sent, sizeof(sent)) != sizeof(sent)) {
        sent = -1;
    }
    waitpid(child, nullptr, 0);
    close(result[0]);
    close(result[1]);
    double cpuBefore = threadCpuSeconds();
    auto start = std::chrono::steady_clock::now();
    Bridge_ReceiveE131Data();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = threadCpuSeconds() - cpuBefore;
    long counted = countedPackets() - before;
    printf("%-10s sent %9ld  stored %9ld  lost %7ld            %8.0f packets/s  %.3f CPU s per million "
           "packets\n",
           "backlog", sent, counted, sent - counted, counted / elapsed,
           counted > 0 ? cpu / counted * 1e6 : 0.0);
    int normal = BridgeState::SOCKET_BUFFER_BYTES;
    setsockopt(BridgeState::state.bridgeSock, SOL_SOCKET, SO_RCVBUFFORCE, &normal, sizeof(normal));
}

void runStreams() {
    if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up") != 0) {
        printf("streams skipped: cannot make a network namespace (run as root)\n");
        return;
    }
    std::map<int, std::function<bool(int)>> unused;
    Bridge_Initialize(unused);
    int buffer = 0;
    socklen_t size = sizeof(buffer);
    getsockopt(BridgeState::state.bridgeSock, SOL_SOCKET, SO_RCVBUF, &buffer, &size);
    printf(
        "\nE1.31 streams, %d universes of %d channels, sender in another process, receive buffer %d bytes:\n",
        UNIVERSES, CHANNELS, buffer);
    stream("40k pps", 40000, 3.0);
    stream("flat out", 0, 3.0);
    backlog(100000);
    Bridge_Shutdown();
}
} // namespace

int main(int argc, char** argv) {
    setUpBridgeState();
    BridgeState::ResetUniverseCache();
    LoadInputUniversesFromFile();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter(
        std::vector<std::pair<std::string, std::string>>{{"BM_StoreE131Packet", "BM_CopyChannels"}});
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    BridgeState::state.Reset();
    runStreams();
    return 0;
}
