#include "ColorLightReceiver.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace {

const uint8_t CONTROLLER[6] = {0x22, 0x22, 0x33, 0x44, 0x55, 0x66};
const uint8_t CARD[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};

void PutBig(std::vector<uint8_t>& frame, size_t at, uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--, value >>= 8) {
        frame[at + i] = uint8_t(value);
    }
}

} // namespace

ColorLightReceiver::ColorLightReceiver(const std::string& interfaceName, std::vector<Card> cardList,
                                       Answers mode)
    : cards(std::move(cardList)), answers(mode) {
    ifIndex = int(if_nametoindex(interfaceName.c_str()));
    fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifIndex;
    int buffer = 16 << 20;
    if (fd < 0 || ifIndex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
        return;
    }
    thread = std::thread([this] { run(); });
}

ColorLightReceiver::~ColorLightReceiver() {
    stopping = true;
    if (thread.joinable()) {
        thread.join();
    }
    if (fd >= 0) {
        close(fd);
    }
}

void ColorLightReceiver::run() {
    std::vector<uint8_t> frame(65536);
    auto lastJunk = std::chrono::steady_clock::now();
    while (!stopping) {
        if (answers == Answers::JunkStream &&
            std::chrono::steady_clock::now() - lastJunk > std::chrono::milliseconds(2)) {
            sendJunk();
            lastJunk = std::chrono::steady_clock::now();
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, answers == Answers::JunkStream ? 2 : 20) <= 0) {
            continue;
        }
        sockaddr_ll from{};
        socklen_t fromLength = sizeof(from);
        ssize_t n =
            recvfrom(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 13 || from.sll_pkttype == PACKET_OUTGOING ||
            std::memcmp(frame.data() + 6, CONTROLLER, 6) != 0) {
            continue;
        }
        if (frame[12] == 0x07 && n == 284) {
            std::lock_guard<std::mutex> hold(lock);
            requests.push_back(frame[16]);
        }
        if (frame[12] == 0x07) {
            answer(frame[16]);
            continue;
        }
        std::lock_guard<std::mutex> hold(lock);
        frames.emplace_back(frame.begin(), frame.begin() + n);
    }
}

void ColorLightReceiver::answer(int index) {
    if (index >= int(cards.size()) || answers == Answers::JunkStream) {
        return;
    }
    const Card& card = cards[index];
    std::vector<uint8_t> reply(answers == Answers::Short ? 600 : 1070, 0);
    std::memcpy(reply.data(), CONTROLLER, 6);
    std::memcpy(reply.data() + 6, CARD, 6);
    if (answers == Answers::WrongSource) {
        reply[11] = 0x67;
    }
    reply[12] = answers == Answers::WrongType ? 0x09 : 0x08;
    reply[13] = 0x05;
    reply[15] = uint8_t(card.firmwareMajor);
    reply[16] = uint8_t(card.firmwareMinor);
    PutBig(reply, 34, 128, 2);
    PutBig(reply, 36, 64, 2);
    PutBig(reply, 51, 123456, 4);
    PutBig(reply, 59, 987654, 4);
    reply[98] = uint8_t(card.id);
    (void)!send(fd, reply.data(), reply.size(), 0);
}

// Frames of the answers' kind that are too short to be one, as a busy or hostile wire would carry.
void ColorLightReceiver::sendJunk() {
    std::vector<uint8_t> junk(60, 0xEE);
    std::memcpy(junk.data() + 6, CARD, 6);
    junk[12] = 0x08;
    junk[13] = 0x05;
    (void)!send(fd, junk.data(), junk.size(), 0);
}

std::vector<int> ColorLightReceiver::Requests() {
    std::lock_guard<std::mutex> hold(lock);
    return requests;
}

std::vector<std::vector<uint8_t>> ColorLightReceiver::Frames() {
    std::lock_guard<std::mutex> hold(lock);
    return frames;
}

void ColorLightReceiver::Clear() {
    std::lock_guard<std::mutex> hold(lock);
    frames.clear();
}

bool ColorLightReceiver::WaitForFrames(uint8_t kind, int count, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> hold(lock);
            int seen = 0;
            for (const auto& f : frames) {
                seen += f[12] == kind ? 1 : 0;
            }
            if (seen >= count) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}
