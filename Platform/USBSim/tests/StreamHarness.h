// A host-side client for model tests: keeps three 4-frame isochronous transfers queued on an
// output and an input pipe, sends PCM it is given (sized by the frames the input brought, as an
// implicitly fed-back host does) and collects the input it reads. On pipes serviced every
// microframe a record is a microframe: 8 records per frame.
#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "usbsim/Bus.h"
#include "usbsim/models/Codec.h"

namespace usbsim::test {

class StreamHarness
{
public:
    // `firstFrames`: the frames of each output record until the first input arrives.
    StreamHarness(Bus& bus, std::shared_ptr<Pipe> out, std::shared_ptr<Pipe> in, uint32_t channels,
                  uint32_t bytesPerSample, uint32_t recordsPerFrame = 1, uint32_t firstFrames = 44)
        : m_bus(bus), m_out(std::move(out)), m_in(std::move(in)), m_channels(channels),
          m_bytesPerSample(bytesPerSample), m_records(kFrames * recordsPerFrame),
          m_lastInputFrames(firstFrames)
    {
        for (auto* blocks : {&m_outBlocks, &m_inBlocks}) {
            for (auto& b : *blocks) {
                b.data.resize(size_t{m_records} * kMaxPacket);
            }
        }
    }
    ~StreamHarness() { stop(); }

    // Host output to send, interleaved; silence once used up.
    void setOutput(std::vector<int32_t> samples)
    {
        std::lock_guard lock(m_mutex);
        m_output = std::move(samples);
    }

    void start()
    {
        const uint64_t first = m_bus.frameNumber() + 2;
        m_nextOut = first;
        m_nextIn = first;
        for (int i = 0; i < 3; ++i) {
            queueIn(i);
        }
        for (int i = 0; i < 3; ++i) {
            queueOut(i);
        }
    }

    void stop()
    {
        m_stopping = true;
        if (m_out) {
            m_out->abort();
        }
        if (m_in) {
            m_in->abort();
        }
        m_bus.settle();
    }

    std::vector<int32_t> input() const
    {
        std::lock_guard lock(m_mutex);
        return m_input;
    }
    int failures() const { return m_failures.load(); }

private:
    static constexpr uint32_t kFrames = 4;
    static constexpr uint32_t kMaxRecords = kFrames * kMicroframesPerFrame;
    static constexpr uint32_t kMaxPacket = 1024;
    struct Block
    {
        StreamHarness* owner = nullptr;
        int index = 0;
        IsocFrame frames[kMaxRecords] = {};
        std::vector<uint8_t> data;
    };

    void queueOut(int index)
    {
        Block& b = m_outBlocks[index];
        b.owner = this;
        b.index = index;
        const uint32_t frameBytes = m_channels * m_bytesPerSample;
        uint32_t offset = 0;
        std::lock_guard lock(m_mutex);
        for (uint32_t k = 0; k < m_records; ++k) {
            IsocFrame& f = b.frames[k];
            // As many frames as the device sent in the last input packet.
            const uint32_t frames = m_lastInputFrames;
            std::vector<int32_t> samples(size_t{frames} * m_channels, 0);
            for (size_t s = 0; s < samples.size() && m_outputPosition < m_output.size(); ++s) {
                samples[s] = m_output[m_outputPosition++];
            }
            codec::encodePcm(samples.data(), samples.size(), m_bytesPerSample, b.data.data() + offset);
            f.frReqCount = static_cast<uint16_t>(frames * frameBytes);
            offset += f.frReqCount;
        }
        const uint64_t start = m_nextOut;
        m_nextOut += kFrames;
        if (m_out->writeIsoc(b.data.data(), start, m_records, b.frames,
                             {this, &StreamHarness::outDone, &b}) != kSuccess) {
            ++m_failures;
        }
    }

    void queueIn(int index)
    {
        Block& b = m_inBlocks[index];
        b.owner = this;
        b.index = index;
        for (uint32_t k = 0; k < m_records; ++k) {
            b.frames[k].frReqCount = static_cast<uint16_t>(m_in->maxPacketSize());
        }
        const uint64_t start = m_nextIn;
        m_nextIn += kFrames;
        if (m_in->readIsoc(b.data.data(), start, m_records, b.frames, {this, &StreamHarness::inDone, &b}) !=
            kSuccess) {
            ++m_failures;
        }
    }

    static void outDone(void* target, void* parameter, Status status, IsocFrame*)
    {
        auto* self = static_cast<StreamHarness*>(target);
        auto* block = static_cast<Block*>(parameter);
        if (status != kSuccess) {
            self->m_failures += status != kAborted;
            return;
        }
        if (!self->m_stopping) {
            self->queueOut(block->index);
        }
    }

    static void inDone(void* target, void* parameter, Status status, IsocFrame* frames)
    {
        auto* self = static_cast<StreamHarness*>(target);
        auto* block = static_cast<Block*>(parameter);
        if (status != kSuccess && status != kUnderrun) {
            self->m_failures += status != kAborted;
            return;
        }
        {
            std::lock_guard lock(self->m_mutex);
            uint32_t offset = 0;
            const uint32_t frameBytes = self->m_channels * self->m_bytesPerSample;
            for (uint32_t k = 0; k < self->m_records; ++k) {
                const uint32_t bytes = frames[k].frActCount;
                std::vector<int32_t> samples(bytes / self->m_bytesPerSample);
                codec::decodePcm(std::span<const uint8_t>(block->data.data() + offset, bytes),
                                 self->m_bytesPerSample, samples.data());
                self->m_input.insert(self->m_input.end(), samples.begin(), samples.end());
                if (bytes >= frameBytes) {
                    self->m_lastInputFrames = bytes / frameBytes;
                }
                offset += frames[k].frReqCount;
            }
        }
        if (!self->m_stopping) {
            self->queueIn(block->index);
        }
    }

    Bus& m_bus;
    std::shared_ptr<Pipe> m_out;
    std::shared_ptr<Pipe> m_in;
    const uint32_t m_channels;
    const uint32_t m_bytesPerSample;
    const uint32_t m_records; // per transfer
    std::array<Block, 3> m_outBlocks{};
    std::array<Block, 3> m_inBlocks{};
    uint64_t m_nextOut = 0; // touched by one pipe's completions only
    uint64_t m_nextIn = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_failures{0};

    mutable std::mutex m_mutex;
    std::vector<int32_t> m_output;
    size_t m_outputPosition = 0;
    std::vector<int32_t> m_input;
    uint32_t m_lastInputFrames;
};

} // namespace usbsim::test
