// The family MIDI and level-meter engine of one device.
//
// It owns the MIDI area an outside MIDI client maps (MidiSM), moves MIDI from the device's MIDI IN
// pipe through the model's packet parser into the area's input rings, moves the client's queued
// output (and control-port bytes) to the MIDI OUT pipe in packets paced by USBMidiPattern, turns
// the status words of the status-word devices into register values and state changes, and keeps
// the level record the level processors fill.
//
// Trust: the area is mapped read-write by the client. The kernel keeps its write positions in the
// input rings, the output-chain guard and the attached client here, and only mirrors them out;
// what it reads there (the output queues) is bounded by the rings. A device's packet is parsed
// only within the bytes received and the block it was read into.
//
// Threads: init/term, pipes, configuration and client attach/detach on request threads (the
// device's dispatch lock held); parsers and the output chain on USB completions; the output queues
// also from the bulk stream service; level processors on the real-time thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "IOKit/IOReturn.h"
#include "MidiRings.h"
#include "SharedMemory.h"
#include "USBMidiDevice.h"
#include "VKKernelSync.h"

class IOMemoryDescriptor;
class IOUserClient;
class VKDevice;
class VKInterfaceDescriptor;
class VKPipeDescriptor;

// Peak levels, one signed byte per channel: inputs at 0..31, outputs at 32..63. Peak hold until
// read; the real-time side raises, the reader takes and clears each byte atomically.
struct QZ_LevelInfo
{
    static constexpr uint32_t kOutputs = 32;
    int8_t mLevels[64];
};
static_assert(sizeof(QZ_LevelInfo) == 64);

// A level processor: raises `levels[0..N)` to the magnitude of each of the N samples' most
// significant byte (N 32-bit little-endian samples of one frame); returns N.
// real-time: no lock, no allocation, no wait.
using LevelProcessor = int (*)(int8_t* levels, const uint8_t* frame);
int LevelProcessor2CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor4CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor6CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor8CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor10CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor16CH(int8_t* levels, const uint8_t* frame);
int LevelProcessor18CH(int8_t* levels, const uint8_t* frame);
// The processor for `channels` (2, 4, 6, 8, 10, 16, 18), else null.
LevelProcessor levelProcessorFor(uint32_t channels);
// The model's input and output processors for a stream of these channel counts (null: none);
// neither walks more channels than its direction has.
void chooseLevelProcessors(const VKDevice& device, uint32_t inChannels, uint32_t outChannels, bool highSpeed,
                           LevelProcessor& in, LevelProcessor& out);

class AQ
{
public:
    static constexpr uint32_t kInputBlocks = 16;
    static constexpr uint32_t kOutputBlocks = 2;
    static constexpr uint32_t kMaxPacket = 512; // the largest MIDI packet of any layout
    static constexpr uint8_t kControlByte = 0xE0;
    static constexpr uint32_t kWriteTimeoutMs = 500;
    static constexpr uint32_t kReadTimeoutMs = 50;
    static constexpr uint32_t kCPortAttempts = 10;
    static constexpr uint32_t kCPortWaitMs = 20;
    static constexpr uint32_t kTermWaitMs = 200;
    static constexpr uint32_t kTermTransferWaitMs = 2000;
    static constexpr uint32_t kTermTransferStepMs = 5;
    static constexpr uint32_t kMaxFootSwitchMessages = 64;
    // State changes of the status words: a configuration switch, the control panel asked for,
    // the foot switch.
    static constexpr uint32_t kStcConfigSwitch = 34;
    static constexpr uint32_t kStcControlPanel = 35;
    static constexpr uint32_t kStcFootSwitch = 36;
    // An armed front-panel request of the two-step model is honoured this long (host time >> 12).
    static constexpr uint64_t kFrontPanelWindow = 732'421'875;

    // The packet parsers.
    enum class Parser : uint8_t
    {
        Reg,
        M4_C1,
        M4_M4_C1,
        M1_C1,
        M2,
        NS7,
        US366,
        UH7000,
    };

    explicit AQ(VKDevice& device);
    ~AQ();
    AQ(const AQ&) = delete;
    AQ& operator=(const AQ&) = delete;

    // --- Life cycle (request threads).
    // Members to their start values, the first parser, the area (without it every operation that
    // needs the area does nothing).
    void init();
    // Stops, marks the area terminated for an attached client, lets it go, frees the area. False
    // when a transfer never came back: the blocks, the area and the engine must then be kept.
    bool term();
    // The area's identity from the device shared block.
    void initializeSM();
    void assignPipes();
    void configurationDone(bool highSpeed);
    bool initPipes();
    void closePipes();
    void streamingStarted();
    void streamingStopped();
    void unconfigure();

    // --- Output (request threads, completions).
    // Control-port bytes for the device: 0, or kIOReturnIOError when they did not all go in
    // ten attempts (20 ms apart). Sleeps: request threads only.
    IOReturn sendCPort(const uint8_t* bytes, uint32_t count);
    // Starts an output chain unless one runs.
    void fireOutput();

    // --- Level meters.
    // Copies the level record to `out` and clears it (each byte taken atomically).
    void getLevelInfo(QZ_LevelInfo& out);
    // The record the processors raise. real-time: no lock, no allocation, no wait.
    int8_t* inputLevels() { return mLevels.mLevels; }
    int8_t* outputLevels() { return mLevels.mLevels + QZ_LevelInfo::kOutputs; }

    // --- The MIDI client (request threads, dispatch lock held).
    bool clientAttach(IOUserClient* client);
    void clientDetach(IOUserClient* client);
    bool isAttached(IOUserClient* client) const;

    // --- Input: one received packet through the chosen parser, bounded by `received` and the
    // size of `packet` (`capacity`). USB completion; also the fuzz target's entry.
    void parseInput(const uint8_t* packet, uint32_t received, uint32_t capacity);

    // --- For the user client and tests.
    SharedMemory& areaMemory() { return mcMidiSM; }
    MidiSM* area() const { return mpMidiSM; }
    Parser parser() const { return mParser; }
    VKInterfaceDescriptor* midiInterface() const { return mMidiInterface; }
    uint32_t packetSize() const { return mPacketSize; }
    uint32_t secondOffset() const { return mSecondOffset; }
    bool running() const { return mbRunning.load() != 0; }
    void setParser(Parser parser, uint32_t packetSize, uint32_t secondOffset);
    // The output bytes the bulk stream service takes for its MIDI slots (port 1, then port 2).
    Queue64K* outputQueue(uint32_t port) { return mpMidiSM != nullptr && port < 2 ? &mpMidiSM->mOut[port] : nullptr; }
    USBMidiPattern& pattern() { return mPattern; }
    int32_t ioCount() const { return mIOCounter.get(); }
    // One output packet as the chain builds it (the allowance taken from the pattern); its length.
    uint32_t buildOutputPacket(uint8_t* packet, uint32_t capacity);

private:
    struct Block
    {
        uint8_t* data = nullptr;
        uint32_t size = 0;
        IOMemoryDescriptor* descriptor = nullptr;
        std::atomic<uint8_t> busy{0};
        AQ* owner = nullptr;
    };

    bool hasClient() const { return mClientAttached.load(std::memory_order_acquire) != 0; }
    // Bytes into a port's input ring (fillers skipped); the bytes stored.
    uint32_t store(uint32_t port, const uint8_t* bytes, uint32_t count);
    void chooseStreamingParser();
    void applyRateRule();
    void parseBytes(const uint8_t* packet, uint32_t length);
    void parseStatusWords(const uint8_t* packet, uint32_t length, bool us366);
    void emptyQueues();
    void endChain();
    void fireOutputInternal();
    bool sendBlock(Block& block, uint32_t length);
    void bulkRead();
    Block* takeBlock(Block* blocks, uint32_t count);
    static void releaseBlock(Block& block) { block.busy.store(0, std::memory_order_release); }
    bool makeBlocks(Block* blocks, uint32_t count, uint32_t size);
    void freeBlocks(Block* blocks, uint32_t count);
    static void inCompletion(void* target, void* parameter, IOReturn status, uint32_t remaining);
    static void outCompletion(void* target, void* parameter, IOReturn status, uint32_t remaining);
    void lowerIOCounter();
    bool isRegularMidi() const;
    bool isElektronMidi() const;

    VKDevice& mDevice;
    SharedMemory mcMidiSM;
    MidiSM* mpMidiSM = nullptr;
    Parser mParser = Parser::M4_M4_C1;
    KeLockedCounter mIOCounter;
    Queue256 mControlQueue{};
    Block mOutBlocks[kOutputBlocks];
    Block mInBlocks[kInputBlocks];
    USBMidiPattern mPattern;
    uint8_t mControlByte = kControlByte;
    uint8_t mAutoFire = 1;
    uint32_t mPacketSize = 9;
    uint32_t mSecondOffset = 4;
    uint8_t mPanelArmed = 0;
    uint64_t mPanelArmedTime = 0;
    VKInterfaceDescriptor* mMidiInterface = nullptr;
    VKPipeDescriptor* mMidiInPipe = nullptr;
    VKPipeDescriptor* mMidiOutPipe = nullptr;
    std::atomic<uint8_t> mbRunning{0};
    QZ_LevelInfo mLevels{};
    // The attached client (retained), guarded by mClientLock; the flag is what completions read.
    Mutex mClientLock;
    IOUserClient* mpMidiUserClient = nullptr;
    std::atomic<uint8_t> mClientAttached{0};
    uint32_t mReadNoDataTimeout = kReadTimeoutMs;
    uint32_t mReadCompletionTimeout = kReadTimeoutMs;
    // Kernel-private: the output-chain guard (mirrored to the area) and the input rings' write
    // positions (mirrored into the rings).
    std::atomic<int32_t> mOutputInProgress{0};
    uint32_t mInWriteIndex[MidiSM::kPorts]{};
    uint64_t mStartTime = 0;
};
