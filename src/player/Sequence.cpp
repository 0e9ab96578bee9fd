#include "Sequence.h"

#include "channeloutput/ChannelOutputSetup.h"
#include "common/Log.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

Sequence* sequence = nullptr;

Sequence::Sequence() {
    m_seqData = static_cast<unsigned char*>(std::calloc(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES, 1));
    resetReservedBytes();
}

Sequence::~Sequence() {
    std::free(m_seqData);
}

void Sequence::resetReservedBytes() {
    std::memset(m_seqData + KIVD_MAX_CHANNELS, 0, SEQUENCE_RESERVED_BYTES);
    m_seqData[KIVD_MAX_CHANNELS + 4] = SMART_RECEIVER_MARKER_VALUE;
}

void Sequence::SetBridgeData(const uint8_t* data, int startChannel, int len, uint64_t expireMS) {
    if (startChannel < 0 || len <= 0 || static_cast<unsigned int>(startChannel) >= KIVD_MAX_CHANNELS) {
        return;
    }
    len = std::min<long>(len, static_cast<long>(KIVD_MAX_CHANNELS) - startChannel);
    std::lock_guard<std::mutex> lk(m_dataLock);
    std::memcpy(m_seqData + startChannel, data, len);
    auto& range = m_bridgeRanges[startChannel];
    range.first = std::max(range.first, len);
    range.second = expireMS;
}

bool Sequence::hasBridgeData() {
    std::lock_guard<std::mutex> lk(m_dataLock);
    return !m_bridgeRanges.empty();
}

void Sequence::ExpireBridgeData(uint64_t nowMS) {
    std::lock_guard<std::mutex> lk(m_dataLock);
    for (auto it = m_bridgeRanges.begin(); it != m_bridgeRanges.end();) {
        if (it->second.second <= nowMS) {
            std::memset(m_seqData + it->first, 0, it->second.first);
            it = m_bridgeRanges.erase(it);
        } else {
            ++it;
        }
    }
}

void Sequence::SendBlankingData() {
    LogDebug(LG_SEQUENCE, "Sequence::SendBlankingData()\n");
    std::lock_guard<std::mutex> lk(m_dataLock);
    m_bridgeRanges.clear();
    std::memset(m_seqData, 0, KIVD_MAX_CHANNELS);
    resetReservedBytes();
    PrepareChannelData(reinterpret_cast<char*>(m_seqData));
    SendChannelData(reinterpret_cast<const char*>(m_seqData));
}
