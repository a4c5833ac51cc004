#include "DriverData.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "IOKit/IOUserClient.h"
#include "VKDeviceSubstitutes.h"
#include "VKIOTrace.h"
#include "VKKernelMemory.h"
#include "VKRealTimeRecord.h"
#include "mach/mach_time.h"

namespace {

// Offsets inside a client slot of DriverSM.
constexpr size_t kSlotUseCount = 0;
constexpr size_t kSlotProcessID = 4;
constexpr size_t kSlotBufferFrames = 8;
constexpr size_t kSlotClient = 164;
constexpr size_t kSlotRing = 172;

// Shared words are written as 4-byte atomics: the blocks are only 4-byte aligned, and
// user space may touch the same bytes at any moment.
void storeWord(void* at, uint32_t value)
{
    __atomic_store_n(static_cast<uint32_t*>(at), value, __ATOMIC_RELAXED);
}

void storeWide(void* at, uint64_t value)
{
    auto* bytes = static_cast<uint8_t*>(at);
    storeWord(bytes, static_cast<uint32_t>(value));
    storeWord(bytes + 4, static_cast<uint32_t>(value >> 32));
}

uint64_t millisecondsSinceStart()
{
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    if (timebase.denom == 0) {
        return 0;
    }
    return mach_absolute_time() * timebase.numer / timebase.denom / 1'000'000;
}

uint32_t streamChannels(const QzChannelSettings& settings)
{
    const int32_t channels = settings.iOutChannels != 0 ? settings.iOutChannels : settings.iInChannels;
    return channels > 0 ? static_cast<uint32_t>(channels) : 0;
}

uint32_t positiveOr0(int32_t value)
{
    return value > 0 ? static_cast<uint32_t>(value) : 0;
}

// A channel count as the rings and the converters carry it: at most kMaxChannels.
uint32_t channelCount(int32_t value)
{
    return std::min(positiveOr0(value), DriverData::kMaxChannels);
}

// The frame width a known output mixer works on; 0 for one we do not know.
uint32_t mixerChannels(OutMixer mixer)
{
    if (mixer == outMixer2CH) {
        return 2;
    }
    if (mixer == outMixer4CH) {
        return 4;
    }
    if (mixer == outMixer6CH) {
        return 6;
    }
    return 0;
}

void storeFraction(QZ_Fraction& to, const QZ_Fraction& from)
{
    // The mixer reads the gains while they change: each word is stored whole.
    __atomic_store_n(&to.numerator, from.numerator, __ATOMIC_RELAXED);
    __atomic_store_n(&to.denominator, from.denominator == 0 ? 1 : from.denominator, __ATOMIC_RELAXED);
}

// Takes the slot's use counter, waiting in 1 ms steps while the real-time side holds it (it does
// so for one frame at most); false, logged, when it still holds it after kSlotWaitLimitMs.
bool takeSlot(ClientData* slot, const char* who)
{
    for (uint32_t waited = 0;; ++waited) {
        const int32_t previous = slot->mUseCount.fetch_add(1, std::memory_order_acq_rel);
        if (previous == 0) {
            return true;
        }
        slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
        if (waited >= kSlotWaitLimitMs) {
            IOLog("%s: the mixer held the slot for %u ms; given up\n", who, kSlotWaitLimitMs);
            return false;
        }
        IOLog("%s OSAtomicAdd32 returned %d\n", who, previous + 1);
        IOSleep(1);
    }
}

// Counts the frames of [position, position + frames) the slot's client had not written yet, once
// the client has begun writing (a client that never writes is silent, not late). Its write
// position is a number it may have written anything into: it only decides what is counted.
// real-time: no lock, no allocation, no wait.
void countLateFrames(ClientData& slot, uint64_t position, uint32_t frames)
{
    const int32_t available = slot.mRing.ring()->getAvailableFrames(position);
    const uint64_t written = position + static_cast<uint64_t>(static_cast<int64_t>(available));
    if (!slot.mWriting) {
        slot.mWriting = slot.mSeenWritten != ClientData::kNotSeen && written != slot.mSeenWritten;
        slot.mSeenWritten = written;
    }
    if (slot.mWriting && available < static_cast<int64_t>(frames)) {
        const uint32_t missing = available <= 0 ? frames : frames - static_cast<uint32_t>(available);
        slot.mLateFrames.fetch_add(missing, std::memory_order_relaxed);
    }
}

void mirrorSlotState(ClientData* slot, uint32_t state)
{
    if (AudioSM* ring = slot->mRing.ring()) {
        shared::store(ring->mState, state);
    }
}

} // namespace

// --- KernelRing

void KernelRing::init(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame)
{
    adopt(ring, channels, frequency, extraBytesPerFrame);
    if (ring != nullptr) {
        ring->init(channels, frequency, extraBytesPerFrame);
    }
}

void KernelRing::adopt(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame)
{
    mRing = ring;
    mGeometry = ring != nullptr ? AudioSM::layout(channels, extraBytesPerFrame) : AudioSM::Geometry{};
    mFrequency = frequency;
}

void KernelRing::clear()
{
    mRing = nullptr;
    mGeometry = {};
    mFrequency = 0;
}

// --- KernelInputRing

void KernelInputRing::init(AudioSM* ring, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame)
{
    KernelRing::init(ring, channels, frequency, extraBytesPerFrame);
    initTimeStamps();
    mFramesWritten.store(0, std::memory_order_release);
    mWriteCount = 0;
    mAnchorSample0 = 0;
    mAnchorHost0 = 0;
    mAnchorSpan = frequency / 4;
    mAnchorSelect = 1;
    mHostTicksPerBuffer = 0;
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    if (frequency != 0 && timebase.numer != 0) {
        mHostTicksPerBuffer =
            uint64_t{geometry().maxFrames} * 1'000'000'000ULL / frequency * timebase.denom / timebase.numer;
    }
}

void KernelInputRing::initTimeStamps()
{
    CriticalSection hold(mTimeStampLock, "KernelInputRing::initTimeStamps");
    mTimeStamps.Init();
    mStarted = false;
    if (AudioSM* shared = ring()) {
        shared->mTimeStamps.Init();
        // Nothing of the kernel's lock is ever kept there.
        for (size_t i = 0; i < sizeof shared->mTimeStamps.mLock; i += 4) {
            storeWord(shared->mTimeStamps.mLock + i, 0);
        }
    }
}

void KernelInputRing::PairStore::store(TimeStampsBuffer& buffer, uint64_t hostTime, uint64_t sampleTime)
{
    if (!ring.mTimeStampLock.trylock()) {
        return; // a copy is being made: this pair is dropped, its frames are not
    }
    const uint32_t count = shared::load(buffer.mCount);
    buffer.storePair(hostTime, sampleTime);
    if (AudioSM* shared = ring.ring()) {
        TimeStampsBuffer& mirror = shared->mTimeStamps;
        const uint32_t index = count % TimeStampsBuffer::kCapacity;
        shared::publish();
        shared::store(mirror.mSampleTimes[index], sampleTime);
        shared::store(mirror.mHostTimes[index], hostTime);
        shared::publish();
        shared::store(mirror.mCount, count + 1);
    }
    ring.mTimeStampLock.unlock();
}

void KernelInputRing::mirrorTimeStampFields()
{
    if (AudioSM* shared = ring()) {
        TimeStampsBuffer& mirror = shared->mTimeStamps;
        shared::store(mirror.mRunningSamples, shared::load(mTimeStamps.mRunningSamples));
        shared::store(mirror.mFirstHostTime, shared::load(mTimeStamps.mFirstHostTime));
        shared::store(mirror.mFirstSampleTime, shared::load(mTimeStamps.mFirstSampleTime));
    }
}

uint32_t KernelInputRing::AddTimeStamp(uint64_t hostTime, uint64_t frames, bool accumulate)
{
    if (!mStarted) {
        // The stream's first stamp: sample position 0 lies `frames` before it.
        mStarted = true;
        const AudioSM::Geometry& g = geometry();
        const uint64_t lead = g.usable() ? mHostTicksPerBuffer * frames / g.maxFrames : 0;
        VKLogOutsideRealTime("AddTimeStamp %llu mHostTicksPerBuffer %llu mFrequency %u\n",
                             static_cast<unsigned long long>(mach_absolute_time()),
                             static_cast<unsigned long long>(mHostTicksPerBuffer), frequency());
        // Back-dated no earlier than the clock's first tick: a stream that starts within its
        // first buffer of the clock would otherwise wrap to a far-future start, and 0 means none.
        const uint64_t start = hostTime > lead ? hostTime - lead : std::min<uint64_t>(hostTime, 1);
        if (AudioSM* shared = ring()) {
            shared::store(shared->mStartHostTime, start);
        }
        mTimeStamps.AddTimeStamp(start, 0, accumulate, &mPairStore);
    }
    const uint32_t count = mTimeStamps.AddTimeStamp(hostTime, frames, accumulate, &mPairStore);
    mirrorTimeStampFields();
    return count;
}

void KernelInputRing::CopyData(QZ_TimeStampsBufferData& out)
{
    CriticalSection hold(mTimeStampLock, "KernelInputRing::CopyData");
    const uint32_t count = shared::load(mTimeStamps.mCount);
    const uint32_t copied = shared::load(mTimeStamps.mCopiedCount);
    const uint32_t fresh = std::min(count - copied, TimeStampsBuffer::kCapacity);
    for (uint32_t k = count - fresh; k != count; ++k) {
        const uint32_t index = k % TimeStampsBuffer::kCapacity;
        out.mHostTimes[index] = shared::load(mTimeStamps.mHostTimes[index]);
        out.mSampleTimes[index] = shared::load(mTimeStamps.mSampleTimes[index]);
    }
    out.mCount = count;
    shared::store(mTimeStamps.mCopiedCount, count);
    if (AudioSM* shared = ring()) {
        shared::store(shared->mTimeStamps.mCopiedCount, count);
    }
}

bool KernelInputRing::GetLastTimeStamp(uint64_t& hostTime, uint64_t& sampleTime) const
{
    if (shared::load(mTimeStamps.mCount) == 0) {
        hostTime = 0;
        sampleTime = 0;
        return false;
    }
    mTimeStamps.GetLastTimeStamp(hostTime, sampleTime);
    return true;
}

uint64_t KernelInputRing::GetTimeStamp(uint64_t sampleTime) const
{
    return mTimeStamps.GetTimeStamp(sampleTime);
}

void KernelInputRing::updateZeroTimeStamp(uint32_t frames)
{
    AudioSM* shared = ring();
    const AudioSM::Geometry& g = geometry();
    if (shared == nullptr || !g.usable()) {
        return;
    }
    // The zero time stamp is the clients' number: used as one, never to size anything.
    const uint64_t zeroSampleTime = shared::load(shared->mZeroSampleTime);
    if (zeroSampleTime == 0 || framePos() + frames - zeroSampleTime < g.maxFrames) {
        return;
    }
    const uint64_t next = zeroSampleTime + g.maxFrames;
    const uint64_t hostTime = mTimeStamps.GetTimeStamp(next);
    shared::store(shared->mZeroCount, shared::load(shared->mZeroCount) + 1);
    shared::store(shared->mZeroSampleTime, next);
    shared::store(shared->mZeroHostTime, hostTime);
}

void KernelInputRing::writeFrames(const int32_t* samples, uint32_t frames, uint64_t writeOffset,
                                  AudioConverter copy, const uint8_t* extra)
{
    AudioSM* shared = ring();
    if (shared == nullptr) {
        return;
    }
    if (shared::load(shared->mZeroHostTime) == 0) {
        shared::store(shared->mZeroSampleTime, 0);
        shared::store(shared->mZeroCount, 0);
        mWriteCount = 1;
    } else {
        ++mWriteCount;
    }
    shared::store(shared->mWriteCount, mWriteCount);
    shared::store(shared->mWriteOffset, writeOffset);
    if (copy == nullptr) {
        copy = audioInt32CopySet;
    }

    const uint64_t written = framePos();
    const AudioSM::Geometry& g = geometry();
    if (g.usable()) {
        // A write longer than the ring leaves only its last ring length of frames.
        const uint32_t skip = frames > g.maxFrames ? frames - g.maxFrames : 0;
        const uint64_t first = written + writeOffset + skip;
        if (samples != nullptr) {
            updateZeroTimeStamp(frames);
        }
        uint32_t done = skip;
        auto start = static_cast<uint32_t>(first & (g.maxFrames - 1));
        while (done < frames) {
            const uint32_t piece = std::min(g.maxFrames - start, frames - done);
            if (samples != nullptr) {
                copy(shared->mSamples + size_t{start} * g.channels, samples + size_t{done} * g.channels,
                     static_cast<int32_t>(piece * g.channels));
            }
            if (extra != nullptr && g.extraBytesPerFrame != 0) {
                auto* area = reinterpret_cast<uint8_t*>(shared->mSamples) + g.extraOffset;
                std::memcpy(area + size_t{start} * g.extraBytesPerFrame, extra + size_t{done} * g.extraBytesPerFrame,
                            size_t{piece} * g.extraBytesPerFrame);
            }
            done += piece;
            start = 0;
        }
    }
    shared::publish();
    mFramesWritten.store(written + frames, std::memory_order_release);
    shared::store(shared->mFramesWritten, written + frames);
}

void KernelInputRing::writeTimestamp(uint64_t hostTime)
{
    AudioSM* shared = ring();
    if (shared == nullptr) {
        return;
    }
    const uint64_t written = framePos();
    if (mAnchorHost0 == 0) {
        mAnchorSample0 = written;
        mAnchorHost0 = hostTime;
    }
    AudioTSData& current = shared->mAnchorCurrent;
    shared::store(current.mSample0, mAnchorSample0);
    shared::store(current.mHost0, mAnchorHost0);
    shared::store(current.mHost1, hostTime);
    shared::store(current.mSample1, written);
    if (written - mAnchorSample0 < mAnchorSpan) {
        shared::store(shared->mAnchorSelect, mAnchorSelect);
        return;
    }
    // Publish into the anchor readers are not using, then point them at it.
    AudioTSData& target = mAnchorSelect != 0 ? shared->mAnchorB : shared->mAnchorA;
    shared::store(target.mSample0, mAnchorSample0);
    shared::store(target.mSample1, written);
    shared::store(target.mHost0, mAnchorHost0);
    shared::store(target.mHost1, hostTime);
    shared::store(target.mHostSpan, hostTime - mAnchorHost0);
    shared::store(target.mSampleSpan, written - mAnchorSample0);
    shared::publish();
    mAnchorSelect = mAnchorSelect != 0 ? 0 : 1;
    shared::store(shared->mAnchorSelect, mAnchorSelect);
    // The next anchor starts where this one ended.
    mAnchorSample0 = written;
    mAnchorHost0 = hostTime;
    shared::store(current.mHost0, hostTime);
    shared::store(current.mSample0, written);
}

// --- ClientData

bool ClientData__attach(ClientData* slot, IOUserClient* client, AudioSM* ring, int32_t processID,
                        uint32_t bufferFrames, uint32_t channels, uint32_t frequency, uint32_t extraBytesPerFrame)
{
    if (slot == nullptr || client == nullptr || ring == nullptr || slot->mClient != nullptr) {
        return false;
    }
    client->retain();
    slot->mClient = client;
    slot->mBufferFrames = bufferFrames;
    slot->mProcessID = processID;
    IOLog("USB: %s %d\n", "ClientData__attach for process id ", processID);
    IOLog("USB: %s 0x%p\n", "ClientData__attach pAudioSM  ", static_cast<void*>(ring));
    slot->mRing.adopt(ring, channels, frequency, extraBytesPerFrame);
    slot->mLateFrames.store(0, std::memory_order_relaxed);
    slot->mSeenWritten = ClientData::kNotSeen;
    slot->mWriting = false;
    shared::store(ring->mState, ClientData::kAttachPending);
    if (uint8_t* mirror = slot->mMirror) {
        storeWord(mirror + kSlotUseCount, 0);
        storeWord(mirror + kSlotProcessID, static_cast<uint32_t>(processID));
        storeWord(mirror + kSlotBufferFrames, bufferFrames);
        storeWide(mirror + kSlotClient, VKClientIdentifier(client));
        storeWide(mirror + kSlotRing, reinterpret_cast<uintptr_t>(ring));
    }
    // The fields above before the state: the real-time side reads them once it sees the state.
    slot->mState.store(ClientData::kAttachPending, std::memory_order_release);
    return true;
}

bool ClientData__detach(ClientData* slot)
{
    if (slot == nullptr) {
        return false;
    }
    if (!takeSlot(slot, "ClientData__detach")) {
        return false; // still the mixer's: the slot stays as it was
    }
    ClientData__reportLate(slot);
    slot->mState.store(ClientData::kFree, std::memory_order_release);
    IOUserClient* client = slot->mClient;
    slot->mClient = nullptr;
    slot->mBufferFrames = 0;
    slot->mProcessID = 0;
    slot->mRing.clear();
    if (uint8_t* mirror = slot->mMirror) {
        storeWord(mirror + kSlotProcessID, 0);
        storeWord(mirror + kSlotBufferFrames, 0);
        storeWide(mirror + kSlotClient, 0);
        storeWide(mirror + kSlotRing, 0);
    }
    slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
    if (client != nullptr) {
        client->release();
    }
    return true;
}

bool ClientData__isAttached(const ClientData* slot)
{
    return slot != nullptr && slot->mState.load(std::memory_order_acquire) == ClientData::kRunning;
}

bool ClientData__isAttachedLocked(ClientData* slot)
{
    if (!ClientData__isAttached(slot)) {
        return false;
    }
    const int32_t previous = slot->mUseCount.fetch_add(1, std::memory_order_acq_rel);
    if (previous != 0) {
        VKLogOutsideRealTime("ClientData__isAttachedLocked OSAtomicAdd32 returned %d\n", previous + 1);
        slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    // Detached or laid out afresh between the test and the counter: not ours this frame.
    if (slot->mState.load(std::memory_order_acquire) != ClientData::kRunning || slot->mRing.ring() == nullptr) {
        slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
        return false;
    }
    return true;
}

void ClientData__unlock(ClientData* slot)
{
    slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
}

void ClientData__reinitForStream(ClientData* slot, const QzChannelSettings& settings, uint32_t extraBytesPerFrame)
{
    if (slot == nullptr || slot->mState.load(std::memory_order_acquire) == ClientData::kFree ||
        slot->mRing.ring() == nullptr) {
        return;
    }
    if (!takeSlot(slot, "ClientData__reinitForStream")) {
        return; // still the mixer's: it keeps its layout, which the mixer skips if it no longer fits
    }
    if (slot->mState.load(std::memory_order_relaxed) == ClientData::kRunning) {
        IOLog("ClientData__reinitForStream found attached client\n");
    }
    slot->mRing.init(slot->mRing.ring(), streamChannels(settings), positiveOr0(settings.iFrequency),
                     extraBytesPerFrame);
    slot->mSeenWritten = ClientData::kNotSeen;
    slot->mWriting = false;
    // Running or still waiting to start, the client starts again with the new stream.
    mirrorSlotState(slot, ClientData::kAttachPending);
    slot->mState.store(ClientData::kAttachPending, std::memory_order_release);
    slot->mUseCount.fetch_sub(1, std::memory_order_acq_rel);
}

void ClientData__reportLate(ClientData* slot)
{
    const uint64_t late = slot != nullptr ? slot->mLateFrames.exchange(0, std::memory_order_relaxed) : 0;
    if (late != 0) {
        IOLog("real-time record: client of process %d: frames mixed before it wrote them +%llu\n",
              slot->mProcessID, static_cast<unsigned long long>(late));
    }
}

void ClientData__notifyChange(ClientData* slot, uint32_t notification)
{
    if (slot == nullptr || slot->mState.load(std::memory_order_acquire) == ClientData::kFree) {
        return;
    }
    if (AudioSM* ring = slot->mRing.ring()) {
        shared::store(ring->mNotification, notification);
    }
}

// --- DriverData

DriverData* DriverData::create(DriverSM* driverSM, uint16_t vendorID, uint16_t productID)
{
    void* memory = memAllocZero(sizeof(DriverData));
    if (memory == nullptr) {
        VKIOTrace trace("DriverData::create", 0);
        trace.trace("IOMalloc failed");
        return nullptr;
    }
    return new (memory) DriverData(driverSM, vendorID, productID);
}

DriverData::DriverData(DriverSM* driverSM, uint16_t vendorID, uint16_t productID)
{
    mExtraBytesPerFrame = USB::isElektron(vendorID, productID) ? kElektronExtraBytesPerFrame : 0;
    for (uint32_t i = 0; i < kMaxChannels; ++i) {
        const bool even = i % 2 == 0;
        mFirstFractions[i] = {even ? 1 : 0, 1};
        mSecondFractions[i] = {even ? 0 : 1, 1};
        mRouting[i] = static_cast<uint8_t>(i);
    }
    mDriverSM.store(driverSM, std::memory_order_release);
    for (uint32_t i = 0; i < kClientSlots; ++i) {
        mClients[i].mMirror = driverSM != nullptr ? driverSM->mClients[i] : nullptr;
    }
    mirrorCount();
}

DriverData::~DriverData()
{
    detachAllClients();
}

void DriverData::retain()
{
    mRefCount.fetch_add(1, std::memory_order_relaxed);
}

void DriverData::release()
{
    if (mRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        this->~DriverData();
        memFree(this, sizeof(DriverData));
    }
}

void DriverData::sharedMemoryDestroyed()
{
    mDriverSM.store(nullptr, std::memory_order_release);
    for (ClientData& slot : mClients) {
        slot.mMirror = nullptr;
    }
}

void DriverData::mirrorCount()
{
    if (DriverSM* sm = mDriverSM.load(std::memory_order_acquire)) {
        storeWord(&sm->mAttachedClients, mAttachedCount.load(std::memory_order_relaxed));
    }
}

uint32_t DriverData::countClients() const
{
    return mAttachedCount.load(std::memory_order_acquire);
}

bool DriverData::attachClient(IOUserClient* client, AudioSM* ring, int32_t processID, uint32_t* slotIndex,
                              uint32_t bufferFrames)
{
    VKIOTrace trace("DriverData::attachClient", client);
    if (client != nullptr) {
        for (uint32_t i = 0; i < kClientSlots; ++i) {
            if (mClients[i].mClient != nullptr) {
                continue;
            }
            const uint32_t channels = mOutputChannels != 0 ? mOutputChannels : mInputChannels;
            if (!ClientData__attach(&mClients[i], client, ring, processID, bufferFrames, channels, mFrequency,
                                    mExtraBytesPerFrame)) {
                return false;
            }
            if (slotIndex != nullptr) {
                *slotIndex = i;
            }
            mAttachedCount.fetch_add(1, std::memory_order_acq_rel);
            mirrorCount();
            return true;
        }
    }
    trace.trace("no free slot found");
    return false;
}

IOReturn DriverData::detachClient(IOUserClient* client)
{
    if (client == nullptr) {
        return kIOReturnNotAttached;
    }
    for (ClientData& slot : mClients) {
        if (slot.mClient == client) {
            if (!ClientData__detach(&slot)) {
                return kIOReturnTimeout;
            }
            mAttachedCount.fetch_sub(1, std::memory_order_acq_rel);
            mirrorCount();
            // A detached client cannot keep the others silent or take their extra bytes.
            clearClientIdentifiers(VKClientIdentifier(client));
            return kIOReturnSuccess;
        }
    }
    return kIOReturnNotAttached;
}

void DriverData::setOutputsExclusiveClient(uint64_t id)
{
    mOutputsExclusiveClient.store(id, std::memory_order_release);
    if (DriverSM* sm = mDriverSM.load(std::memory_order_acquire)) {
        storeWide(&sm->mOutputsExclusiveClient, id);
    }
}

void DriverData::setPrivateDataClient(uint64_t id)
{
    mPrivateDataClient.store(id, std::memory_order_release);
    if (DriverSM* sm = mDriverSM.load(std::memory_order_acquire)) {
        storeWide(&sm->mPrivateDataClient, id);
    }
}

void DriverData::clearClientIdentifiers(uint64_t id)
{
    if (id == 0) {
        return;
    }
    if (outputsExclusiveClient() == id) {
        setOutputsExclusiveClient(0);
    }
    if (privateDataClient() == id) {
        setPrivateDataClient(0);
    }
}

bool DriverData::isClientAttached(IOUserClient* client) const
{
    if (client == nullptr) {
        return false;
    }
    return std::any_of(std::begin(mClients), std::end(mClients),
                       [client](const ClientData& slot) { return slot.mClient == client; });
}

void DriverData::detachAllClients()
{
    for (ClientData& slot : mClients) {
        if (slot.mClient != nullptr) {
            const uint64_t id = VKClientIdentifier(slot.mClient);
            if (!ClientData__detach(&slot)) {
                continue;
            }
            mAttachedCount.fetch_sub(1, std::memory_order_acq_rel);
            clearClientIdentifiers(id);
        }
    }
    mirrorCount();
}

void DriverData::reinitClientsForStreaming(const QzChannelSettings& settings)
{
    // Clients attached from now on get the layout the attached ones get here.
    mInputChannels = std::max(1u, channelCount(settings.iInChannels));
    mOutputChannels = channelCount(settings.iOutChannels);
    mFrequency = positiveOr0(settings.iFrequency);
    for (ClientData& slot : mClients) {
        ClientData__reinitForStream(&slot, settings, mExtraBytesPerFrame);
    }
}

void DriverData::dumpClientList() const
{
    VKIOTrace trace("DriverData::dumpClientList", 0);
    trace.trace("clients", static_cast<int>(countClients()));
    for (uint32_t i = 0; i < kClientSlots; ++i) {
        trace.traceptr_i("slot client", mClients[i].mClient, static_cast<int>(i));
    }
}

void DriverData::setConverters(PCMEncoder encoder, const QzChannelSettings& settings)
{
    IOLog("DriverData::setConverters AC3 %p\n", reinterpret_cast<void*>(encoder));
    mInputChannels = std::max(1u, channelCount(settings.iInChannels));
    mOutputChannels = channelCount(settings.iOutChannels);
    mFrequency = positiveOr0(settings.iFrequency);
    mHostToUSB.store(encoder, std::memory_order_release);
}

void DriverData::setOutMixer(OutMixer mixer)
{
    mOutMixer.store(mixer, std::memory_order_release);
}

IOReturn DriverData::setMixerFraction(const QZ_MixerFraction& fraction)
{
    if (fraction.channel >= kMaxChannels) {
        IOLog("DriverData::setMixerFraction channel %u out of range\n", fraction.channel);
        return kIOReturnBadArgument;
    }
    storeFraction(mFirstFractions[fraction.channel], fraction.first);
    storeFraction(mSecondFractions[fraction.channel], fraction.second);
    return kIOReturnSuccess;
}

IOReturn DriverData::setMixerFractions(const QZ_MixerFractions& fractions)
{
    for (uint32_t i = 0; i < kMaxChannels; ++i) {
        storeFraction(mFirstFractions[i], fractions.first[i]);
        storeFraction(mSecondFractions[i], fractions.second[i]);
    }
    return kIOReturnSuccess;
}

IOReturn DriverData::setRoutingMatrix(const uint8_t* routing)
{
    if (routing != nullptr) {
        for (uint32_t i = 0; i < kMaxChannels; ++i) {
            if (routing[i] >= kMaxChannels) {
                IOLog("DriverData::setRoutingMatrix entry %u is %u\n", i, routing[i]);
                return kIOReturnBadArgument;
            }
        }
        for (uint32_t i = 0; i < kMaxChannels; ++i) {
            __atomic_store_n(&mRouting[i], routing[i], __ATOMIC_RELAXED);
        }
    }
    IOLog("USB: %s\n", "setRoutingMatrix");
    char line[96] = "Routing";
    size_t used = std::strlen(line);
    for (uint32_t i = 0; i < 6; ++i) {
        used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, " %d->%d", static_cast<int>(i),
                                                  static_cast<int>(mRouting[i])));
    }
    IOLog("%s\n", line);
    return kIOReturnSuccess;
}

int32_t DriverData::outputPeak(uint32_t channel) const
{
    return channel < kMaxChannels ? mOutputPeaks[channel].load(std::memory_order_relaxed) : 0;
}

void DriverData::clearOutputPeaks()
{
    for (auto& peak : mOutputPeaks) {
        peak.store(0, std::memory_order_relaxed);
    }
}

void DriverData::rtsCheckAttachClients(uint64_t framePos, uint64_t outputPos, uint64_t hostTime)
{
    for (uint32_t i = 0; i < kClientSlots; ++i) {
        ClientData& slot = mClients[i];
        if (slot.mState.load(std::memory_order_acquire) == ClientData::kFree) {
            continue;
        }
        // The slot is kept while its ring is written: a detach waits for it.
        if (slot.mUseCount.fetch_add(1, std::memory_order_acq_rel) != 0) {
            slot.mUseCount.fetch_sub(1, std::memory_order_acq_rel);
            continue;
        }
        const uint32_t state = slot.mState.load(std::memory_order_acquire);
        AudioSM* ring = slot.mRing.ring();
        if (ring != nullptr && state == ClientData::kAttachPending) {
            VKLogOutsideRealTime(
                "@%lld DriverData::rtsCheckAttachClients, client %d framePos %d timestamp %llu\n",
                static_cast<long long>(millisecondsSinceStart()), static_cast<int>(i),
                static_cast<int>(framePos), static_cast<unsigned long long>(hostTime));
            shared::store(ring->mClientFramePos, framePos);
            shared::store(ring->mFramesWritten, framePos);
            shared::store(ring->mAttachHostTime, hostTime);
            shared::store(ring->mAttachFramePos, framePos);
            shared::store(ring->mAttachOutputPos, outputPos);
            shared::store(ring->mOutputPos, outputPos);
            shared::publish();
            shared::store(ring->mState, ClientData::kRunning);
            slot.mState.store(ClientData::kRunning, std::memory_order_release);
        } else if (ring != nullptr && state == ClientData::kRunning) {
            shared::store(ring->mOutputPos, outputPos);
        }
        slot.mUseCount.fetch_sub(1, std::memory_order_acq_rel);
    }
}

void DriverData::reportClientsLate()
{
    for (ClientData& slot : mClients) {
        ClientData__reportLate(&slot);
    }
}

bool DriverData::mixClients(int32_t* mix, uint32_t capacity, uint32_t channels, uint64_t position,
                            uint32_t frameCount, uint8_t* extraBytes)
{
    // The kernel's own records: the shared block's copies are for display and anyone may write them.
    const uint64_t exclusive = mOutputsExclusiveClient.load(std::memory_order_acquire);
    const uint64_t privateData = mPrivateDataClient.load(std::memory_order_acquire);
    const uint32_t samples = frameCount * channels;
    bool first = true;
    for (ClientData& slot : mClients) {
        if (!ClientData__isAttachedLocked(&slot)) {
            continue;
        }
        const AudioSM::Geometry& g = slot.mRing.geometry();
        // A ring laid out for another frame width is not mixed: it would not fit the frame.
        if (g.usable() && g.channels == channels && samples <= capacity) {
            const uint64_t id = VKClientIdentifier(slot.mClient);
            const bool excluded = exclusive != 0 && exclusive != id;
            uint8_t* extra = extraBytes != nullptr && privateData != 0 && privateData == id &&
                                     g.extraBytesPerFrame == mExtraBytesPerFrame
                                 ? extraBytes
                                 : nullptr;
            if (excluded && first) {
                std::memset(mix, 0, size_t{samples} * sizeof(int32_t));
            }
            AudioConverter converter = excluded ? nullptr : (first ? audioInt32CopySet : audioInt32CopyAdd);
            countLateFrames(slot, position, frameCount);
            uint64_t readPosition = position;
            uint64_t hostTime = 0;
            slot.mRing.ring()->read(g, readPosition, mix, frameCount, hostTime, converter, extra);
            first = false;
        }
        ClientData__unlock(&slot);
    }
    return !first;
}

void DriverData::rtsIsocOutput(uint8_t* usbBuffer, uint32_t byteCount, uint64_t position, uint32_t frameCount,
                               uint8_t* extraBytes)
{
    if (mDriverSM.load(std::memory_order_acquire) == nullptr) {
        VKLogOutsideRealTime("USB: %s\n", "rtsIsocOutput m_pDriverSM NULL!!");
        return;
    }
    if (mAttachedCount.load(std::memory_order_acquire) == 0) {
        std::memset(usbBuffer, 0, byteCount);
        // Logged once per run of empty frames, not every millisecond.
        if (!mToldNoClients) {
            VKLogOutsideRealTime("USB: %s\n", "rtsIsocOutput numClients NULL!!");
            mToldNoClients = true;
        }
        return;
    }
    mToldNoClients = false;
    const PCMEncoder encoder = mHostToUSB.load(std::memory_order_acquire);
    if (encoder == nullptr) {
        if (!mToldNoEncoder) {
            VKLogOutsideRealTime("USB: %s\n", "mPCM_FORMAT_CONVERTER_HOST_TO_USB is NULL");
            mToldNoEncoder = true;
        }
        return;
    }
    mToldNoEncoder = false;

    const uint32_t samples = encoder(nullptr, nullptr, byteCount);
    if (samples > kMixSamples) {
        VKLogOutsideRealTime("cCDInfo.uSamples:%08X > ISOC_TEMP_SAMPLES\n", samples);
        return;
    }
    if (byteCount > kMixBytes) {
        VKLogOutsideRealTime("uBytes:%d > ISOC_TEMP_SAMPLES*3\n", static_cast<int>(byteCount));
        return;
    }

    // No frames, or frames wider than a ring holds: nothing is mixed (and nothing divides by 0).
    const uint32_t channels = frameCount != 0 ? samples / frameCount : 0;
    const bool mixable = channels != 0 && channels <= kMaxChannels;
    std::memset(mMix, 0, size_t{samples} * sizeof(int32_t));
    if (mixable && mixClients(mMix, samples, channels, position, frameCount, extraBytes)) {
        audioInt32Saturate(mMix, static_cast<int32_t>(samples));
    }
    if (mixable) {
        for (uint32_t f = 0; f < frameCount; ++f) {
            const int32_t* frame = mMix + size_t{f} * channels;
            for (uint32_t c = 0; c < channels; ++c) {
                if (frame[c] > mOutputPeaks[c].load(std::memory_order_relaxed)) {
                    mOutputPeaks[c].store(frame[c], std::memory_order_relaxed);
                }
            }
        }
        const OutMixer mixer = mOutMixer.load(std::memory_order_acquire);
        const uint32_t width = mixerChannels(mixer);
        if (mixer != nullptr && (width == 0 || width == channels)) {
            mixer(reinterpret_cast<uint32_t*>(mMix), frameCount, mFirstFractions, mSecondFractions, mRouting);
        }
    }
    encoder(reinterpret_cast<char*>(usbBuffer), mMix, static_cast<uint16_t>(byteCount));
}

void DriverData::rtsBulkOutput(int32_t* samples, uint32_t sampleCount, uint64_t position, uint32_t frameCount)
{
    const uint32_t channels = frameCount != 0 ? sampleCount / frameCount : 0;
    const bool mixable = channels != 0 && channels <= kMaxChannels;
    if (mAttachedCount.load(std::memory_order_acquire) == 0 || !mixable ||
        !mixClients(samples, sampleCount, channels, position, frameCount, nullptr)) {
        std::memset(samples, 0, size_t{sampleCount} * sizeof(int32_t));
        return;
    }
    // Whatever the frames did not cover stays silent.
    const uint32_t mixed = frameCount * channels;
    std::memset(samples + mixed, 0, size_t{sampleCount - mixed} * sizeof(int32_t));
    audioInt32Saturate(samples, static_cast<int32_t>(sampleCount));
}

void DriverData::rtsInterruptOutput(int32_t* samples, uint32_t sampleCount, uint64_t position, uint32_t frameCount)
{
    const uint32_t channels = frameCount != 0 ? sampleCount / frameCount : 0;
    const bool mixable = channels != 0 && channels <= kMaxChannels;
    if (mAttachedCount.load(std::memory_order_acquire) == 0) {
        VKLogOutsideRealTime("No clients, clear data\n");
        std::memset(samples, 0, size_t{sampleCount} * sizeof(int32_t));
        return;
    }
    if (!mixable || !mixClients(samples, sampleCount, channels, position, frameCount, nullptr)) {
        VKLogOutsideRealTime("No clients, clear data (2)\n");
        std::memset(samples, 0, size_t{sampleCount} * sizeof(int32_t));
        return;
    }
    const uint32_t mixed = frameCount * channels;
    std::memset(samples + mixed, 0, size_t{sampleCount - mixed} * sizeof(int32_t));
    audioInt32Saturate(samples, static_cast<int32_t>(sampleCount));
}

void DriverData::rtsGetMinAvailableFrames(const DriverSM* driverSM, int32_t* minFrames, uint32_t* clients,
                                          uint64_t position)
{
    int32_t smallest = 0;
    uint32_t counted = 0;
    if (driverSM == nullptr) {
        VKLogOutsideRealTime("rtsGetMinAvailableFrames pDriverSM NULL!!!\n");
    } else {
        for (ClientData& slot : mClients) {
            if (slot.mState.load(std::memory_order_acquire) == ClientData::kFree) {
                continue;
            }
            if (slot.mUseCount.fetch_add(1, std::memory_order_acq_rel) == 0 && slot.mRing.ring() != nullptr &&
                slot.mState.load(std::memory_order_acquire) != ClientData::kFree) {
                // The client's own positions: numbers it may have written anything into.
                const auto limit = static_cast<int32_t>(slot.mRing.geometry().maxFrames);
                const int32_t available = std::clamp(slot.mRing.ring()->getAvailableFrames(position), -limit, limit);
                smallest = counted == 0 ? available : std::min(smallest, available);
                ++counted;
            }
            slot.mUseCount.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
    if (minFrames != nullptr) {
        *minFrames = smallest;
    }
    if (clients != nullptr) {
        *clients = counted;
    }
}

uint64_t VKClientIdentifier(const IOUserClient* client)
{
    // The registry's number for the object: from a counter, never reused, and saying nothing of
    // where the object lives.
    return client != nullptr ? client->getRegistryEntryID() : 0;
}
