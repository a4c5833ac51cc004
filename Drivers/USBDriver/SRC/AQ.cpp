#include "AQ.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "DeviceModels.h"
#include "DriverData.h"
#include "DriverSM.h"
#include "StateChange.h"
#include "TableKeys.h"
#include "VKDevice.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"
#include "IOKit/IOLib.h"
#include "IOKit/IOMemoryDescriptor.h"
#include "IOKit/usb/IOUSBPipe.h"
#include "IOKit/IOUserClient.h"
#include "kern/clock.h"
#include "mach/mach_time.h"

namespace {

// What a model's MIDI is, by row.
enum MidiModelFlags : uint8_t
{
    kNoMidiPipes = 1 << 0,   // no MIDI pipes at all
    kRateRule = 1 << 1,      // the parser follows the sample rate (with the bulk pattern)
    kAnnounceSwitch = 1 << 2, // a register-104 change announces state change 34
    kNoConfigSwitch = 1 << 3, // code 104 never switches the configuration
    kTwoStepPanel = 1 << 4,   // the front panel is asked for by releasing, then pressing within 3 s
    kModes4x6 = 1 << 5,       // the configuration switch chooses between 4x6 and 6x4
    kTwoByTwo = 1 << 6,       // without bit 4 the configuration switch still gives 2x2
    kKeepOffset = 1 << 7,     // the streaming parser leaves the second offset as it is
};

struct MidiModelRow
{
    DeviceModel model;
    AQ::Parser parser;     // the parser at start and while streaming without "kInACR"
    uint16_t packet;       // MIDI packet bytes (0: by the family's rule)
    uint8_t secondOffset;  // port 2's offset in an output packet before streaming
    uint8_t flags;
};

// The status-word models carry 512-byte packets of LE32 words; the others' byte layouts.
constexpr MidiModelRow kMidiModels[] = {
    // US-322: two inputs whatever the switch says; register-104 changes are announced.
    {kModelUS322, AQ::Parser::US366, 512, 4, kAnnounceSwitch | kTwoByTwo},
    {kModelUS366, AQ::Parser::US366, 512, 4, kAnnounceSwitch | kModes4x6},
    {kModelUS1200, AQ::Parser::UH7000, 512, 0, kNoConfigSwitch},
    {kModelUH7000, AQ::Parser::UH7000, 512, 0, kNoConfigSwitch | kTwoStepPanel},
    // Elektron: 64-byte packets of plain MIDI bytes.
    {kModel1935_0004, AQ::Parser::Reg, 64, 0, 0},
    {kModel1935_0006, AQ::Parser::Reg, 64, 0, 0},
    {kModel1935_0008, AQ::Parser::Reg, 64, 0, 0},
    // MIDI in 4 + control bytes on the first interface.
    {kModel170B_0020, AQ::Parser::M4_C1, 0, 4, 0},
    {kModel170B_0021, AQ::Parser::M4_C1, 0, 4, 0},
    {kModel0562_03EB, AQ::Parser::M4_C1, 0, 4, kKeepOffset},
    // A bulk device whose MIDI layout follows its sample rate.
    {kModel0A4A_D064, AQ::Parser::M1_C1, 0, 4, kRateRule},
    // These have no MIDI pipes.
    {kModel133E_0815, AQ::Parser::M4_M4_C1, 0, 4, kNoMidiPipes},
    {kModel133E_0816, AQ::Parser::M4_M4_C1, 0, 4, kNoMidiPipes},
};
static_assert(modelsRegistered(kMidiModels));
static_assert(tableKeysUnique(kMidiModels, [](const MidiModelRow& row) { return row.model.key(); }));

const MidiModelRow* midiModelOf(const VKDevice& device)
{
    for (const MidiModelRow& row : kMidiModels) {
        if (row.model.is(device.vendorID(), device.productID())) {
            return &row;
        }
    }
    return nullptr;
}

bool hasFlag(const MidiModelRow* row, uint8_t flag)
{
    return row != nullptr && (row->flags & flag) != 0;
}

// The per-model level processors chosen at stream start.
struct LevelRow
{
    DeviceModel model;
    bool highSpeedOnly;
    uint8_t inputs[2]; // input channel counts that get a processor (0: none)
    uint8_t outputs;   // output processor channels (0: none)
};
constexpr LevelRow kLevelModels[] = {
    {kModel1935_0004, false, {0, 0}, 0}, // Elektron: by input channels, see below
    {kModel1935_0006, false, {0, 0}, 0},
    {kModel1935_0008, false, {0, 0}, 0},
    {kModel1346_100A, false, {2, 0}, 2},
    {kModelUS366, true, {4, 6}, 0},
    {kModelUH7000, true, {4, 0}, 0},
    {kModelUS1200, true, {6, 0}, 0},
    {kModel0A92_0111, true, {16, 18}, 8},
};
static_assert(modelsRegistered(kLevelModels));
static_assert(tableKeysUnique(kLevelModels, [](const LevelRow& row) { return row.model.key(); }));

constexpr uint32_t kStatusMark = 0xB00B;
constexpr uint8_t kFirstCode = 102;
constexpr uint8_t kLastCode = 117;
constexpr uint8_t kNoteOn = 0x90;
enum : uint8_t
{
    kNoteRewind = 0x5B,
    kNoteForward = 0x5C,
    kNoteStop = 0x5D,
    kNotePlay = 0x5E,
};
constexpr uint64_t kFootSwitchHoldMs = 501;
constexpr uint16_t kRegisterUnset = 0xFFFF;

// The foot switch of the whole driver: 0 idle, 1 rewind down, 2 forward down, 3 play sent,
// 4 contact 1 down; and the millisecond clock at the last press of contact 1.
std::atomic<uint32_t> gFootSwitchState{0};
std::atomic<uint64_t> gFootSwitchPushedMillis{0};

uint64_t millisecondClock()
{
    clock_sec_t seconds = 0;
    clock_usec_t microseconds = 0;
    clock_get_system_microtime(&seconds, &microseconds);
    return uint64_t(seconds) * 1000 + microseconds / 1000;
}

struct FootSwitchMessages
{
    uint8_t bytes[AQ::kMaxFootSwitchMessages * 3];
    uint32_t count = 0;

    void note(uint8_t note, bool on)
    {
        if (count + 3 > sizeof(bytes)) {
            return; // a packet of more words than fit loses the rest
        }
        bytes[count++] = kNoteOn;
        bytes[count++] = note;
        bytes[count++] = on ? 0x7F : 0x00;
    }
    void pair(uint8_t n)
    {
        note(n, true);
        note(n, false);
    }
};

} // namespace

// --- Level processors.

namespace {

template <int N> int levelProcessor(int8_t* levels, const uint8_t* frame)
{
    for (int channel = 0; channel < N; ++channel) {
        const auto msb = static_cast<int8_t>(frame[4 * channel + 3]);
        const int8_t magnitude = msb == -128 ? int8_t{127} : static_cast<int8_t>(msb < 0 ? -msb : msb);
        // Raised by compare-and-swap: the reader takes each byte by exchange at any moment.
        int8_t seen = __atomic_load_n(&levels[channel], __ATOMIC_RELAXED);
        while (magnitude > seen &&
               !__atomic_compare_exchange_n(&levels[channel], &seen, magnitude, true, __ATOMIC_RELAXED,
                                            __ATOMIC_RELAXED)) {
        }
    }
    return N;
}

} // namespace

int LevelProcessor2CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<2>(levels, frame); }
int LevelProcessor4CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<4>(levels, frame); }
int LevelProcessor6CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<6>(levels, frame); }
int LevelProcessor8CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<8>(levels, frame); }
int LevelProcessor10CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<10>(levels, frame); }
int LevelProcessor16CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<16>(levels, frame); }
int LevelProcessor18CH(int8_t* levels, const uint8_t* frame) { return levelProcessor<18>(levels, frame); }

LevelProcessor levelProcessorFor(uint32_t channels)
{
    switch (channels) {
    case 2: return LevelProcessor2CH;
    case 4: return LevelProcessor4CH;
    case 6: return LevelProcessor6CH;
    case 8: return LevelProcessor8CH;
    case 10: return LevelProcessor10CH;
    case 16: return LevelProcessor16CH;
    case 18: return LevelProcessor18CH;
    default: return nullptr;
    }
}

void chooseLevelProcessors(const VKDevice& device, uint32_t inChannels, uint32_t outChannels, bool highSpeed,
                           LevelProcessor& in, LevelProcessor& out)
{
    in = nullptr;
    out = nullptr;
    for (const LevelRow& row : kLevelModels) {
        if (!row.model.is(device.vendorID(), device.productID()) || (row.highSpeedOnly && !highSpeed)) {
            continue;
        }
        if (device.isElektron()) {
            if (inChannels <= 10 && inChannels % 2 == 0) {
                in = levelProcessorFor(inChannels);
            }
        } else if (inChannels != 0 && (row.inputs[0] == inChannels || row.inputs[1] == inChannels)) {
            in = levelProcessorFor(inChannels);
        }
        // A routine never walks more channels than the stream has.
        if (row.outputs != 0 && row.outputs <= outChannels) {
            out = levelProcessorFor(row.outputs);
        }
    }
}

// --- Engine.

AQ::AQ(VKDevice& device) : mDevice(device)
{
    for (Block& block : mOutBlocks) {
        block.owner = this;
    }
    for (Block& block : mInBlocks) {
        block.owner = this;
    }
}

AQ::~AQ()
{
    term();
}

bool AQ::isRegularMidi() const
{
    return mDevice.isCorlanthCompatibleWithRegularMidi();
}

bool AQ::isElektronMidi() const
{
    const MidiModelRow* row = midiModelOf(mDevice);
    return row != nullptr && row->parser == Parser::Reg && row->packet == 64;
}

void AQ::setParser(Parser parser, uint32_t packetSize, uint32_t secondOffset)
{
    mParser = parser;
    mPacketSize = std::min(packetSize, kMaxPacket);
    mSecondOffset = secondOffset;
}

void AQ::init()
{
    mStartTime = mach_absolute_time();
    mControlByte = kControlByte;
    mAutoFire = 1;
    mPanelArmed = 0;
    mPanelArmedTime = 0;
    mbRunning.store(0);
    mOutputInProgress.store(0);
    std::memset(&mLevels, 0, sizeof(mLevels));
    mControlQueue.init();
    const MidiModelRow* row = midiModelOf(mDevice);
    if (row != nullptr && row->packet != 0) {
        setParser(row->parser, row->packet, row->secondOffset);
    } else if (isRegularMidi()) {
        setParser(Parser::Reg, 16, 0);
    } else {
        setParser(Parser::M4_M4_C1, 9, 4);
    }
    if (mpMidiSM == nullptr) {
        if (!mcMidiSM.init(sizeof(MidiSM))) {
            return;
        }
        mpMidiSM = static_cast<MidiSM*>(mcMidiSM.address());
    }
    shared::store(mpMidiSM->mTerminate, 0);
    mpMidiSM->mOut[0].init();
    mpMidiSM->mOut[1].init();
}

bool AQ::term()
{
    unconfigure();
    // Aborted transfers complete later, on the bus's threads, into the blocks and the area: both
    // stay until the last one has come back (a transfer that never does keeps them).
    for (uint32_t waited = 0; mIOCounter.get() > 0 && waited < kTermTransferWaitMs; waited += kTermTransferStepMs) {
        IOSleep(kTermTransferStepMs);
    }
    const bool idle = mIOCounter.get() <= 0;
    if (idle) {
        freeBlocks(mOutBlocks, kOutputBlocks);
        freeBlocks(mInBlocks, kInputBlocks);
    } else {
        IOLog("USB: %s %d\n", "AQ::term transfers still in flight, blocks kept", static_cast<int>(mIOCounter.get()));
    }
    IOUserClient* client = nullptr;
    {
        CriticalSection section(mClientLock, "AQ::term");
        client = mpMidiUserClient;
        mpMidiUserClient = nullptr;
        mClientAttached.store(0);
    }
    // The area outlives the engine in every mapping of it: a client sees the end there.
    if (mpMidiSM != nullptr) {
        shared::storeRelease(mpMidiSM->mTerminate, 1);
    }
    if (client != nullptr) {
        IOLog("USB: %s\n", "AQ::term wait for mpMidiUserClient");
        IOSleep(kTermWaitMs);
        client->release();
    }
    if (idle) {
        mpMidiSM = nullptr;
        mcMidiSM.term(true);
    }
    return idle;
}

void AQ::initializeSM()
{
    if (mpMidiSM == nullptr) {
        IOLog("AQ::InitializeSM [MIDI]m_pMidiSM NULL\n");
        return;
    }
    if (mDevice.mpDriverSM == nullptr) {
        IOLog("AQ::InitializeSM [MIDI]mpDevice->mpDriverSM NULL\n");
        return;
    }
    copyMidiIdentity(*mpMidiSM, *mDevice.mpDriverSM);
    IOLog("AQ::InitializeSM [MIDI] vendor=%04X product=%04X UID=%s\n", static_cast<unsigned>(mpMidiSM->mVendorID),
          static_cast<unsigned>(mpMidiSM->mProductID), mpMidiSM->mUID);
}

void AQ::assignPipes()
{
    VKChosenEndpoints& chosen = mDevice.mChosen;
    mMidiInterface = chosen.midiInterface;
    if (mDevice.isCorlanthCompatible() && mDevice.isCorlanthCompatibleWithRawMidi()) {
        mMidiInterface = chosen.outInterface;
    }
    mMidiInPipe = nullptr;
    mMidiOutPipe = nullptr;
    if (hasFlag(midiModelOf(mDevice), kNoMidiPipes)) {
        mMidiInterface = nullptr;
    }
    if (mMidiInterface == nullptr) {
        return;
    }
    mReadNoDataTimeout = 0;
    mReadCompletionTimeout = 0;
    mMidiOutPipe = mMidiInterface->getBulkOutPipe();
    if (mMidiOutPipe == nullptr) {
        mMidiOutPipe = mMidiInterface->getInterruptOutPipe();
    }
    mMidiInPipe = mMidiInterface->getInterruptInPipe();
    if (mMidiInPipe == nullptr) {
        mMidiInPipe = mMidiInterface->getBulkInPipe();
    }
    if (mDevice.isQuenzarBulkDevice()) {
        mMidiOutPipe = nullptr;
    }
}

bool AQ::makeBlocks(Block* blocks, uint32_t count, uint32_t size)
{
    for (uint32_t i = 0; i < count; ++i) {
        Block& block = blocks[i];
        if (block.data != nullptr) {
            continue;
        }
        block.data = static_cast<uint8_t*>(IOMallocAligned(size, 16));
        if (block.data == nullptr) {
            return false;
        }
        std::memset(block.data, 0, size);
        block.size = size;
        block.descriptor = IOMemoryDescriptor::withAddress(block.data, size, kIODirectionInOut);
        block.busy.store(0);
    }
    return true;
}

void AQ::freeBlocks(Block* blocks, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        Block& block = blocks[i];
        if (block.descriptor != nullptr) {
            block.descriptor->release();
            block.descriptor = nullptr;
        }
        if (block.data != nullptr) {
            IOFreeAligned(block.data, block.size);
            block.data = nullptr;
        }
        block.size = 0;
    }
}

void AQ::configurationDone(bool highSpeed)
{
    const MidiModelRow* row = midiModelOf(mDevice);
    if (row != nullptr && row->packet != 0) {
        mPacketSize = row->packet;
        mSecondOffset = row->secondOffset;
    } else if (isRegularMidi()) {
        mPacketSize = 16;
        mSecondOffset = 0;
    } else {
        mPacketSize = 9;
        mSecondOffset = 4;
    }
    mPattern.init(false);
    if (highSpeed && mDevice.mInACR == 8) {
        mPacketSize = 42;
        mSecondOffset = 0;
        mPattern.initNS7();
    }
    // Every block holds the largest packet of any layout, so a read of the packet size never
    // passes its block whatever the layout becomes.
    makeBlocks(mOutBlocks, kOutputBlocks, kMaxPacket);
    mControlByte = kControlByte;
    makeBlocks(mInBlocks, kInputBlocks, kMaxPacket);
    if (mDevice.isQuenzarBulkDevice()) {
        mAutoFire = 0;
        mControlByte = 0xFF;
        mControlQueue.init();
    }
    IOLog("AQ::configurationDone()\n");
    if (mpMidiSM != nullptr && mDevice.mpDriverSM != nullptr) {
        copyMidiIdentity(*mpMidiSM, *mDevice.mpDriverSM);
        IOLog("AQ::configurationDone [MIDI] vendor=%04X product=%04X UID=%s\n",
              static_cast<unsigned>(mpMidiSM->mVendorID), static_cast<unsigned>(mpMidiSM->mProductID),
              mpMidiSM->mUID);
    }
}

bool AQ::initPipes()
{
    bool ok = true;
    if (mMidiOutPipe != nullptr) {
        ok = mMidiOutPipe->initPipe("m_pcMidiOutPipe") && ok;
    }
    if (mMidiInPipe != nullptr) {
        ok = mMidiInPipe->initPipe("m_pcMidiInPipe") && ok;
    }
    return ok;
}

void AQ::closePipes()
{
    for (VKPipeDescriptor* pipe : {mMidiOutPipe, mMidiInPipe}) {
        if (pipe != nullptr) {
            pipe->abort();
        }
    }
    for (VKPipeDescriptor* pipe : {mMidiOutPipe, mMidiInPipe}) {
        if (pipe != nullptr) {
            pipe->closePipe();
        }
    }
}

void AQ::applyRateRule()
{
    const uint32_t rate = static_cast<uint32_t>(mDevice.getCurrentSettings()->iFrequency);
    mPattern.initForBulk(rate);
    switch (rate) {
    case 32'000:
    case 44'100:
    case 48'000:
        mParser = Parser::M4_C1;
        mSecondOffset = 0;
        break;
    case 88'200:
    case 96'000: {
        const VKPipeDescriptor* in = mDevice.mChosen.interruptInPipe;
        mParser = in != nullptr && in->isInterruptInPipe() && in->getMaxPacketSize() == 1024 ? Parser::M2
                                                                                           : Parser::M1_C1;
        mSecondOffset = 0;
        break;
    }
    default:
        IOLog("AQ::streamingStarted() invalid samplerate\n");
        break;
    }
}

void AQ::chooseStreamingParser()
{
    VKIOTrace trace("AQ::streamingStarted", 0);
    const MidiModelRow* row = midiModelOf(mDevice);
    if (mDevice.mInACR == 255) {
        mParser = Parser::M4_M4_C1;
        if (row != nullptr && row->packet != 64 && !hasFlag(row, kNoMidiPipes)) {
            if (hasFlag(row, kRateRule)) {
                mPattern.initForBulk(static_cast<uint32_t>(mDevice.getCurrentSettings()->iFrequency));
            }
            mParser = row->parser;
            if (!hasFlag(row, kKeepOffset)) {
                mSecondOffset = 0;
            }
        }
        if (!mDevice.isQuenzarBulkDevice()) {
            if (isElektronMidi()) {
                trace.trace("use inACR_Reg");
                mParser = Parser::Reg;
            }
            return;
        }
        applyRateRule();
        return;
    }
    mSecondOffset = 4;
    switch (mDevice.mInACR) {
    case 0: mParser = Parser::Reg; mSecondOffset = 0; break;
    case 1: applyRateRule(); break;
    case 2: mParser = Parser::M4_C1; break;
    case 3: mParser = Parser::M4_C1; mSecondOffset = 0; break;
    case 5: mParser = Parser::M1_C1; mSecondOffset = 0; break;
    case 6: mParser = Parser::US366; mSecondOffset = 0; break;
    case 7: mParser = Parser::UH7000; mSecondOffset = 0; break;
    case 8: mParser = Parser::NS7; mSecondOffset = 0; break;
    default: mParser = Parser::M4_M4_C1; mSecondOffset = 4; break;
    }
}

void AQ::streamingStarted()
{
    if (mMidiInterface == nullptr) {
        VKIOTrace trace("AQ::streamingStarted", 0);
        trace.trace("m_pcMidiInterface is NULL");
        return;
    }
    chooseStreamingParser();
    mIOCounter.inc();
    mbRunning.store(1);
    QZ_LevelInfo cleared;
    getLevelInfo(cleared);
    for (uint32_t i = 0; i < kInputBlocks; ++i) {
        bulkRead();
    }
}

void AQ::streamingStopped()
{
    if (mbRunning.load() == 0) {
        return;
    }
    for (VKPipeDescriptor* pipe : {mMidiOutPipe, mMidiInPipe}) {
        if (pipe != nullptr) {
            pipe->abort();
        }
    }
    mbRunning.store(0);
    VKIOTrace trace("AQ::streamingStopped", 0);
    if (mIOCounter.dec() == 0) {
        trace.trace("m_cIOCounter is 0 (OK)");
    } else {
        trace.trace("ERROR m_cIOCounter is!=0");
    }
}

void AQ::unconfigure()
{
    streamingStopped();
    mMidiInterface = nullptr;
    mMidiInPipe = nullptr;
    mMidiOutPipe = nullptr;
}

// --- Client.

bool AQ::clientAttach(IOUserClient* client)
{
    if (mpMidiSM == nullptr) {
        IOLog("USB: %s\n", "AQ::clientAttach - m_pMidiSM is NULL");
        return false;
    }
    CriticalSection section(mClientLock, "AQ::clientAttach");
    if (mpMidiUserClient != nullptr) {
        IOLog("USB: %s\n", "AQ::clientAttach - already attached");
        return false;
    }
    client->retain();
    mpMidiUserClient = client;
    mOutputInProgress.store(0);
    shared::store(mpMidiSM->mOutputInProgress, 0);
    mpMidiSM->mOut[0].initNoMemSet();
    mpMidiSM->mOut[1].initNoMemSet();
    for (uint32_t port = 0; port < MidiSM::kPorts; ++port) {
        mpMidiSM->mIn[port].init();
        mInWriteIndex[port] = 0;
    }
    mClientAttached.store(1, std::memory_order_release);
    return true;
}

void AQ::clientDetach(IOUserClient* client)
{
    IOUserClient* released = nullptr;
    {
        CriticalSection section(mClientLock, "AQ::clientDetach");
        if (client == nullptr || mpMidiUserClient != client) {
            return;
        }
        mClientAttached.store(0, std::memory_order_release);
        released = mpMidiUserClient;
        mpMidiUserClient = nullptr;
    }
    released->release();
}

bool AQ::isAttached(IOUserClient* client) const
{
    return client != nullptr && mpMidiUserClient == client;
}

// --- Levels.

void AQ::getLevelInfo(QZ_LevelInfo& out)
{
    for (size_t i = 0; i < sizeof(mLevels.mLevels); ++i) {
        out.mLevels[i] = __atomic_exchange_n(&mLevels.mLevels[i], int8_t{0}, __ATOMIC_RELAXED);
    }
}

// --- Input.

uint32_t AQ::store(uint32_t port, const uint8_t* bytes, uint32_t count)
{
    if (mpMidiSM == nullptr || port >= MidiSM::kPorts || count == 0) {
        return 0;
    }
    return mpMidiSM->mIn[port].putFrame(bytes, count, mInWriteIndex[port], mach_absolute_time());
}

void AQ::parseInput(const uint8_t* packet, uint32_t received, uint32_t capacity)
{
    if (packet == nullptr) {
        return;
    }
    const uint32_t length = std::min(received, capacity);
    switch (mParser) {
    case Parser::US366:
        parseStatusWords(packet, length, true);
        break;
    case Parser::UH7000:
        parseStatusWords(packet, length, false);
        break;
    default:
        parseBytes(packet, length);
        break;
    }
}

void AQ::parseBytes(const uint8_t* packet, uint32_t length)
{
    if (mpMidiSM == nullptr) {
        return;
    }
    if (!hasClient()) {
        if (mParser == Parser::Reg) {
            IOLog("mpMidiUserClient NULL!\n");
        }
        return;
    }
    // Only received bytes are MIDI: a short packet's unwritten tail is not.
    switch (mParser) {
    case Parser::Reg:
        store(0, packet, length);
        break;
    case Parser::M4_C1:
        store(0, packet, std::min(length, 4u));
        break;
    case Parser::M4_M4_C1:
        store(0, packet, std::min(length, 4u));
        if (length > 4) {
            store(1, packet + 4, std::min(length - 4, 4u));
        }
        break;
    case Parser::M1_C1:
        if (length >= 1 && packet[0] != MidiIO::kFiller) {
            store(0, packet, 1);
        }
        break;
    case Parser::M2:
        if (length >= 2) {
            IOLog("inACR_M2 %02X %02X\n", packet[0], packet[1]);
        }
        store(0, packet, std::min(length, 2u));
        break;
    case Parser::NS7:
        if (mPacketSize > 1) {
            store(0, packet, std::min(length, mPacketSize - 1));
        }
        break;
    default:
        break;
    }
}

void AQ::parseStatusWords(const uint8_t* packet, uint32_t length, bool us366)
{
    const MidiModelRow* row = midiModelOf(mDevice);
    bool registersChanged = false;
    bool register104Changed = false;
    bool configSwitch = false;
    bool footSwitchWord = false;
    FootSwitchMessages messages;
    const uint32_t end = std::min(length, mPacketSize);
    for (uint32_t at = 0; at + 4 <= end; at += 4) {
        const uint32_t word = uint32_t(packet[at]) | uint32_t(packet[at + 1]) << 8 | uint32_t(packet[at + 2]) << 16 |
                              uint32_t(packet[at + 3]) << 24;
        if (word == 0 || (word & 0xFFFF) != kStatusMark) {
            break;
        }
        const uint8_t code = uint8_t(word >> 16);
        const uint8_t value = uint8_t(word >> 24);
        if (code < kFirstCode || code > kLastCode) {
            continue;
        }
        if (code == 102 || code == 103) {
            const size_t slot = code - 102u;
            if (mDevice.registers().us366[slot] != value) {
                mDevice.setUS366Register(slot, value);
                registersChanged = true;
            }
        } else if (code == 104) {
            const uint16_t slot2 = mDevice.registers().us366[2];
            if (slot2 == kRegisterUnset) {
                if (us366) {
                    mDevice.setUS366Register(2, value);
                }
                continue;
            }
            if (value == slot2) {
                continue;
            }
            if (((value ^ slot2) & 0x02) != 0) {
                IOLog("USB: %s\n", "Activate control Panel?");
                const bool bitSet = (value & 0x02) != 0;
                if (hasFlag(row, kTwoStepPanel)) {
                    const uint64_t now = mach_absolute_time();
                    if (!bitSet) {
                        IOLog("USB: %s %d\n", "Don't activate control Panel!", 0);
                        if (mPanelArmed == 0) {
                            mPanelArmed = 1;
                            mPanelArmedTime = now;
                        }
                    } else {
                        IOLog("USB: %s %d\n", "Activate control Panel!", 2);
                        if (mPanelArmed != 0 && ((now - mPanelArmedTime) >> 12) < kFrontPanelWindow) {
                            mDevice.stcNotify(AQ::kStcControlPanel, 0);
                        } else {
                            IOLog("USB: %s\n", "Don't activate control Panel, too late!");
                        }
                        mPanelArmed = 0;
                    }
                } else if (!bitSet) {
                    IOLog("USB: %s\n", "Activate control Panel!");
                    mDevice.stcNotify(AQ::kStcControlPanel, 0);
                } else {
                    IOLog("USB: %s %d\n", "Don't activate control Panel?", 2);
                }
                mDevice.setUS366Register(2, us366 ? value : uint16_t((slot2 & ~0x02u) | (value & 0x02u)));
                continue;
            }
            if (!us366) {
                continue;
            }
            register104Changed = true;
            if (((value ^ slot2) & 0x04) == 0) {
                IOLog("USB: %s\n", "Changing config!");
                configSwitch = true;
            }
            if (hasFlag(row, kNoConfigSwitch)) {
                register104Changed = false;
                configSwitch = false;
            }
            mDevice.setUS366Register(2, value);
        } else if (code == 105 || code == 106) {
            if (!us366) {
                continue;
            }
            footSwitchWord = true;
            const uint64_t now = millisecondClock();
            const uint64_t held = now - gFootSwitchPushedMillis.load();
            const uint32_t state = gFootSwitchState.load();
            if (code == 106) {
                switch (value) {
                case 1:
                    mDevice.setFootSwitchPressed(0, 1);
                    gFootSwitchPushedMillis.store(now);
                    gFootSwitchState.store(4);
                    break;
                case 2:
                    messages.note(kNoteRewind, true);
                    mDevice.setFootSwitchPressed(1, 1);
                    gFootSwitchState.store(1);
                    break;
                case 3:
                    messages.note(kNoteForward, true);
                    mDevice.setFootSwitchPressed(2, 1);
                    gFootSwitchState.store(2);
                    break;
                case 65:
                    mDevice.setFootSwitchPressed(0, 1);
                    if ((state == 3 || state == 4) && held >= kFootSwitchHoldMs) {
                        messages.pair(kNoteStop);
                        gFootSwitchState.store(0);
                        gFootSwitchPushedMillis.store(0);
                    }
                    break;
                case 66:
                case 67:
                    mDevice.setFootSwitchPressed(value - 65u, 1);
                    break;
                default:
                    break;
                }
            } else {
                switch (value) {
                case 1:
                    if (state == 4) {
                        if (held < kFootSwitchHoldMs) {
                            messages.pair(kNotePlay);
                            gFootSwitchState.store(3);
                        } else {
                            messages.pair(kNoteStop);
                            gFootSwitchState.store(0);
                        }
                    }
                    mDevice.setFootSwitchPressed(0, 0);
                    gFootSwitchPushedMillis.store(0);
                    break;
                case 2:
                    messages.note(kNoteRewind, false);
                    mDevice.setFootSwitchPressed(1, 0);
                    gFootSwitchState.store(0);
                    break;
                case 3:
                    messages.note(kNoteForward, false);
                    mDevice.setFootSwitchPressed(2, 0);
                    gFootSwitchState.store(0);
                    break;
                default:
                    break;
                }
            }
        } else {
            // 107..117: the control-event area.
            const uint32_t entry = 6u + (code - 107u);
            if (!us366 && code == 116) {
                IOLog("Get digital in 1 %d\n", int(int8_t(value)));
            } else if (!us366 && code == 117) {
                IOLog("Get digital in 2 %d\n", int(int8_t(value)));
            }
            if (DriverData* data = mDevice.mpDriverData) {
                data->setControlEvent(entry, int8_t(value));
                if (code == 107) {
                    data->addControlEvent(31, 1);
                }
            }
        }
    }
    if (us366) {
        if (configSwitch) {
            mDevice.markMixerChanged();
            const uint16_t slot2 = mDevice.registers().us366[2];
            int inputs = 6;
            int outputs = 4;
            if ((slot2 & 0x10) != 0) {
                IOLog("USB: %s\n", "Go to 2x2 mode");
                mDevice.setMixerMode(0);
                inputs = 2;
                outputs = 2;
            } else if (hasFlag(row, kModes4x6)) {
                if ((slot2 & 0x08) != 0) {
                    IOLog("USB: %s\n", "Go to 4x6 mode");
                    mDevice.setMixerMode(1);
                    inputs = 4;
                    outputs = 6;
                } else {
                    IOLog("USB: %s\n", "Go to 6x4 mode");
                    mDevice.setMixerMode(2);
                }
            } else if (hasFlag(row, kTwoByTwo)) {
                inputs = 2;
                outputs = 2;
            }
            IOLog("USB: %s\n", "Before setReadChannels");
            mDevice.setReadChannels(inputs, outputs);
        }
        if (registersChanged) {
            mDevice.stcNotify(STC_MixerValuesChanged, 0);
        }
        if (register104Changed && hasFlag(row, kAnnounceSwitch)) {
            mDevice.stcNotify(AQ::kStcConfigSwitch, 0);
        }
        if (footSwitchWord) {
            mDevice.stcNotify(AQ::kStcFootSwitch, 0);
        }
        if (messages.count > 0 && mpMidiSM != nullptr && hasClient()) {
            IOLog("Sending %d bytes to midi", int(messages.count));
            for (uint32_t i = 0; i < messages.count; ++i) {
                IOLog(" %02X", messages.bytes[i]);
            }
            IOLog("\n");
            store(0, messages.bytes, messages.count);
        }
    } else if (registersChanged) {
        mDevice.stcNotify(STC_MixerValuesChanged, 0);
    }
}

// --- Transfers.

AQ::Block* AQ::takeBlock(Block* blocks, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t idle = 0;
        if (blocks[i].busy.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
            return &blocks[i];
        }
    }
    return nullptr;
}

void AQ::lowerIOCounter()
{
    if (mIOCounter.dec() == 0) {
        IOLog("\n\n******************** AQ MIDI STOP EVENT ********************\n\n");
    }
}

void AQ::bulkRead()
{
    if (mbRunning.load() == 0) {
        IOLog("AQ::bulkRead() - mbRunning is false\n");
        return;
    }
    Block* block = takeBlock(mInBlocks, kInputBlocks);
    if (block == nullptr) {
        IOLog("AQ::bulkRead pRB is NULL\n");
        return;
    }
    IOUSBPipe* pipe = mMidiInPipe != nullptr ? mMidiInPipe->getPipe() : nullptr;
    if (pipe == nullptr || block->data == nullptr) {
        releaseBlock(*block);
        return;
    }
    mIOCounter.inc();
    // The read never asks for more than the block holds.
    const uint32_t length = std::min(mPacketSize, block->size);
    std::memset(block->data, 0, length);
    IOUSBCompletion completion{this, [](void* target, void* parameter, IOReturn status, UInt32 remaining) {
                                   inCompletion(target, parameter, status, remaining);
                               },
                               block};
    const IOReturn status =
        pipe->Read(block->descriptor, mReadNoDataTimeout, mReadCompletionTimeout, length, &completion);
    if (status != kIOReturnSuccess) {
        IOLog("AQ::bulkRead failed with status %08X\n", static_cast<unsigned>(status));
        releaseBlock(*block);
        lowerIOCounter();
    }
}

void AQ::inCompletion(void* target, void* parameter, IOReturn status, uint32_t remaining)
{
    auto* self = static_cast<AQ*>(target);
    auto* block = static_cast<Block*>(parameter);
    if (status == kIOReturnSuccess) {
        const uint32_t asked = std::min(self->mPacketSize, block->size);
        const uint32_t received = remaining < asked ? asked - remaining : 0;
        self->parseInput(block->data, received, block->size);
        releaseBlock(*block);
        self->bulkRead();
    } else {
        if (status == kIOUSBTransactionTimeout) {
            IOLog("AQ::inAsyncCompletionRoutine failed - kIOUSBTransactionTimeout\n");
            IOLog("AQ::inAsyncCompletionRoutine failed - kIOUSBTransactionTimeout\n");
        } else {
            IOLog("AQ::inAsyncCompletionRoutine failed - status/bufferSizeRemaining %08X %u\n",
                  static_cast<unsigned>(status), static_cast<unsigned>(remaining));
        }
        releaseBlock(*block);
    }
    self->lowerIOCounter();
}

void AQ::emptyQueues()
{
    if (mpMidiSM != nullptr) {
        mpMidiSM->mOut[0].get(nullptr, int32_t(Queue64K::kSize));
        mpMidiSM->mOut[1].get(nullptr, int32_t(Queue64K::kSize));
    }
    mControlQueue.get(nullptr, int32_t(Queue256::kSize));
}

void AQ::endChain()
{
    const int32_t now = mOutputInProgress.fetch_sub(1) - 1;
    if (mpMidiSM != nullptr) {
        shared::store(mpMidiSM->mOutputInProgress, now);
    }
}

void AQ::fireOutput()
{
    if (mbRunning.load() == 0) {
        IOLog("AQ::fireOutput() - mbRunning is false\n");
        emptyQueues();
        return;
    }
    if (mMidiOutPipe == nullptr) {
        return;
    }
    const int32_t before = mOutputInProgress.fetch_add(1);
    if (mpMidiSM != nullptr) {
        shared::store(mpMidiSM->mOutputInProgress, before + 1);
    }
    if (before == 0) {
        fireOutputInternal();
    } else {
        endChain();
        IOLog("AQ::fireOutputFunction uProcessCounter>0\n");
    }
}

uint32_t AQ::buildOutputPacket(uint8_t* packet, uint32_t capacity)
{
    const uint32_t allowance = mPattern.next();
    const uint32_t size = std::min(mPacketSize, capacity);
    if (size == 0) {
        return 0;
    }
    Queue64K* port1 = outputQueue(0);
    Queue64K* port2 = outputQueue(1);
    if (isRegularMidi() || isElektronMidi()) {
        std::memset(packet, 0, size);
        return port1 != nullptr ? uint32_t(port1->get(packet, int32_t(size))) : 0;
    }
    std::memset(packet, MidiIO::kFiller, size);
    // The last byte is the control byte; port 1 stops before port 2's offset.
    const uint32_t port1End = mSecondOffset >= 1 && mSecondOffset < size ? mSecondOffset : size - 1;
    if (port1 != nullptr) {
        port1->get(packet, int32_t(std::min(allowance, port1End)));
    }
    if (port2 != nullptr && mSecondOffset >= 1 && mSecondOffset < size - 1) {
        port2->get(packet + mSecondOffset, int32_t(std::min(allowance, size - 1 - mSecondOffset)));
    }
    uint8_t control = 0;
    if (mControlQueue.get(&control, 1) == 1) {
        mControlByte = control;
    }
    packet[size - 1] = mControlByte;
    return size;
}

void AQ::fireOutputInternal()
{
    if (mbRunning.load() == 0) {
        IOLog("USB: %s\n", "AQ::fireOutputInternal() - mbRunning is false");
        emptyQueues();
        endChain();
        return;
    }
    const bool waiting = mControlQueue.fill() > 0 ||
                         (mpMidiSM != nullptr && (mpMidiSM->mOut[0].fill() > 0 || mpMidiSM->mOut[1].fill() > 0));
    if (!waiting) {
        endChain();
        return;
    }
    VKIOTrace trace("AQ::fireOutputInternal", 0);
    Block* block = takeBlock(mOutBlocks, kOutputBlocks);
    if (block == nullptr) {
        trace.trace("no out pRB");
        endChain();
        return;
    }
    if (block->data == nullptr) {
        trace.trace("pRB->m_pData is NULL");
        releaseBlock(*block);
        endChain();
        return;
    }
    const uint32_t length = buildOutputPacket(block->data, block->size);
    if (!sendBlock(*block, length)) {
        endChain();
    }
}

bool AQ::sendBlock(Block& block, uint32_t length)
{
    if (mMidiOutPipe == nullptr) {
        IOLog("AQ::sendRB m_pcMidiOutPipe NULL\n");
        releaseBlock(block);
        return false;
    }
    IOUSBPipe* pipe = mMidiOutPipe->getPipe();
    if (pipe == nullptr) {
        IOLog("AQ::sendRB m_pcMidiOutPipe->mUSBPipe NULL\n");
        releaseBlock(block);
        return false;
    }
    uint32_t timeout = kWriteTimeoutMs;
    if (mMidiOutPipe->isInterruptOutPipe()) {
        VKIOTrace trace("AQ::sendRB", 0);
        trace.trace("AQ::sendRB m_pcMidiOutPipe interrupt, using no timeout");
        timeout = 0;
    }
    mIOCounter.inc();
    IOUSBCompletion completion{this, [](void* target, void* parameter, IOReturn status, UInt32 remaining) {
                                   outCompletion(target, parameter, status, remaining);
                               },
                               &block};
    const IOReturn status = pipe->Write(block.descriptor, timeout, timeout, length, &completion);
    if (status != kIOReturnSuccess) {
        IOLog("AQ::sendRB failed with status %08X\n", static_cast<unsigned>(status));
        releaseBlock(block);
        lowerIOCounter();
        return false;
    }
    return true;
}

void AQ::outCompletion(void* target, void* parameter, IOReturn status, uint32_t remaining)
{
    auto* self = static_cast<AQ*>(target);
    auto* block = static_cast<Block*>(parameter);
    releaseBlock(*block);
    if (status == kIOReturnSuccess) {
        self->fireOutputInternal();
    } else {
        if (status == kIOUSBTransactionTimeout) {
            IOLog("AQ::outAsyncCompletionRoutine failed - kIOUSBTransactionTimeout\n");
        } else {
            IOLog("AQ::outAsyncCompletionRoutine failed - status/bufferSizeRemaining %08X %u\n",
                  static_cast<unsigned>(status), static_cast<unsigned>(remaining));
        }
        // The chain ends here, so the next fireOutput starts a new one.
        self->endChain();
    }
    self->lowerIOCounter();
}

IOReturn AQ::sendCPort(const uint8_t* bytes, uint32_t count)
{
    uint32_t done = 0;
    for (uint32_t attempt = 0; attempt < kCPortAttempts; ++attempt) {
        if (mbRunning.load() == 0 || bytes == nullptr || done >= count) {
            return kIOReturnSuccess;
        }
        done += uint32_t(mControlQueue.put(bytes + done, int32_t(count - done)));
        if (mAutoFire != 0) {
            fireOutput();
        }
        if (done >= count) {
            return kIOReturnSuccess;
        }
        IOSleep(kCPortWaitMs);
    }
    return kIOReturnIOError;
}
