#pragma once
// A stand-in for a chain of ColorLight 5A-75 receiver cards on one end of a veth pair, written from
// the cards' frame tables: it answers discovery requests (frame kind 0x07, the asked index in byte
// 16) as the cards it is given, with a 1070-byte answer of kind 0x0805 (firmware in bytes 15 and 16,
// cabinet size at 34 and 36, packet count at 51, uptime at 59, all big-endian, receiver id at 98),
// and records every other frame that carries the controller's source address 22:22:33:44:55:66.
// Hostile modes send broken answers, or a stream of junk frames of the answer's kind, instead.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class ColorLightReceiver {
public:
    struct Card {
        int firmwareMajor;
        int firmwareMinor;
        int id;
    };
    enum class Answers { Good, Short, WrongSource, WrongType, JunkStream };

    ColorLightReceiver(const std::string& interfaceName, std::vector<Card> cards,
                       Answers answers = Answers::Good);
    ~ColorLightReceiver();

    bool Ready() const { return fd >= 0; }
    // The receiver indexes asked for, in order.
    std::vector<int> Requests();
    // Frames recorded since the last Clear, oldest first.
    std::vector<std::vector<uint8_t>> Frames();
    void Clear();
    // Waits up to timeoutMs until `count` frames of kind `kind` (byte 12) have been recorded.
    bool WaitForFrames(uint8_t kind, int count, int timeoutMs);

private:
    void run();
    void answer(int index);
    void sendJunk();

    std::vector<Card> cards;
    Answers answers;
    int fd = -1;
    int ifIndex = 0;
    std::atomic<bool> stopping{false};
    std::mutex lock; // guards requests and frames
    std::vector<int> requests;
    std::vector<std::vector<uint8_t>> frames;
    std::thread thread;
};
