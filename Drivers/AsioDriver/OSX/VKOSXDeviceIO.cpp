// The device's IO thread, its cycles and the client IO procedures.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "APIDeviceInfo.h"
#include "DeviceManagerClient.h"
#include "OSXDeviceManager.h"
#include "SampleConversion.h"
#include "VKIOTrace.h"
#include "VKOSXDevice.h"
#include "platform/HostClock.h"
#include "platform/Log.h"
#include "platform/ProcessEnvironment.h"

namespace {

constexpr uint32_t kSlotCleared = 36;
constexpr uint32_t kSlotCycles = 40;

void sleepNanos(uint64_t ns)
{
    platform::host_clock::sleepFor(ns);
}

} // namespace

// --- Holding cycles off

VKOSXDevice::IOHold::IOHold(VKOSXDevice& device) : m_device(device)
{
    m_device.m_ioHolds.fetch_add(1, std::memory_order_seq_cst);
    // A cycle that began before the hold ends within one cycle; the IO thread itself never holds.
    while ((m_device.m_cycleEpoch.load(std::memory_order_seq_cst) & 1) != 0) {
        sleepNanos(50'000);
    }
}

VKOSXDevice::IOHold::~IOHold()
{
    m_device.m_ioHolds.fetch_sub(1, std::memory_order_seq_cst);
}

bool VKOSXDevice::enterCycle()
{
    m_cycleEpoch.fetch_add(1, std::memory_order_seq_cst);
    if (m_ioHolds.load(std::memory_order_seq_cst) != 0) {
        m_cycleEpoch.fetch_add(1, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

void VKOSXDevice::leaveCycle()
{
    m_cycleEpoch.fetch_add(1, std::memory_order_seq_cst);
}

uint32_t* VKOSXDevice::slotWord(uint32_t offset) const
{
    DriverSM* sm = driverSM();
    const uint32_t slot = attachedSlot();
    if (sm == nullptr || slot >= kDriverSMClientSlots) {
        return nullptr;
    }
    return reinterpret_cast<uint32_t*>(sm->mClients[slot] + offset);
}

// --- The thread

void* VKOSXDevice::threadRun()
{
    m_cTreadStartStopSemaphore.signal();
    {
        IntSpinLock wait(&m_attachLock);
    }
    m_threadState.store(kThreadRunning);
    while (!stopRequested()) {
        if (!hardwareReady()) {
            sleepNanos(10'000'000);
            continue;
        }
        switch (m_attachState.load()) {
        case kDetached:
            sleepNanos(10'000'000);
            break;
        case kPrepared: {
            IntSpinLock lock;
            if (!lock.lock(&m_attachLock, true)) {
                sleepNanos(10'000'000);
                break;
            }
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "..attaching");
            createIOBuffers();
            const uint32_t frames = m_frameSize.getUInt32();
            platform::syslog(platform::log::kPriorityNotice, "ThreadRun, attach with framesize %d",
                             static_cast<int>(frames));
            if (callAttach(frames, static_cast<uint32_t>(platform::process::pid()))) {
                m_attachState.store(kAttached);
            } else {
                platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "...attach failed");
                m_attachState.store(kDetached);
            }
            if (uint32_t* word = slotWord(kSlotCleared)) {
                std::atomic_ref<uint32_t>(*word).store(0);
            }
            break;
        }
        default:
            if (mpAudioSM_In.load() != nullptr && !stopRequested()) {
                const uint32_t nanos = onUSBProc(m_attachedProcs.load() >= 1);
                sleepNanos(nanos);
            } else {
                sleepNanos(1'000'000);
            }
            break;
        }
    }
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s %p\n", " EXIT VKOSXDevice::threadRun",
                     static_cast<void*>(this));
    m_cTreadStartStopSemaphore.signal();
    const uint64_t began = platform::host_clock::now();
    do {
        sleepNanos(10'000'000);
        if (platform::host_clock::now() - began > 100'000'000) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", " EXIT VKOSXDevice::threadRun No detach!");
            break;
        }
    } while (m_attachState.load() == kAttached);
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "EXIT VKOSXDevice::threadRun after timeout");
    if (m_threadState.load() == kThreadRemovalRequested) {
        m_threadState.store(kThreadNotRunning);
        // The removal runs on the main run loop, never on this thread: the device owns this thread.
        if (m_manager != nullptr) {
            m_manager->postRemoveDevice(this);
        }
    } else {
        m_threadState.store(kThreadNotRunning);
    }
    return nullptr;
}

uint32_t VKOSXDevice::onUSBProc(bool callProcs)
{
    if (!enterCycle()) {
        return 1'000'000;
    }
    struct Leave
    {
        VKOSXDevice& device;
        ~Leave() { device.leaveCycle(); }
    } leave{*this};

    AudioSM* in = mpAudioSM_In.load(std::memory_order_acquire);
    AudioSM* out = mpAudioSM_Out.load(std::memory_order_acquire);
    if (driverSM() == nullptr || in == nullptr || out == nullptr ||
        shared::load(out->mState) != AudioSM::kStateRunning) {
        return 5'000'000;
    }
    uint64_t readPosition = shared::load(out->mClientFramePos);
    const uint64_t framePosition = in->getFramePos();
    if (readPosition >= framePosition) {
        return 1'000'000;
    }
    if (shared::load(out->mNotification) != 0) {
        shared::store(out->mNotification, 0);
    }
    const AudioSM::Geometry inGeometry = in->geometry();
    const AudioSM::Geometry outGeometry = out->geometry();
    bool withInput = true;
    if (mAudioBufferIn.mBufferChannels != inGeometry.channels) {
        if (mAudioBufferIn.mBufferChannels != 0 || mAudioBufferOut.mBufferChannels == 0) {
            platform::printOut("mAudioBufferIn.mBufferChannels:%d != mpAudioSM_In->mChannelsPerFrame:%d\n",
                               static_cast<int>(mAudioBufferIn.mBufferChannels), static_cast<int>(inGeometry.channels));
            return 1'000'000;
        }
        withInput = false;
    }
    bool withOutput = true;
    if (mAudioBufferOut.mBufferChannels != outGeometry.channels) {
        if (mAudioBufferOut.mBufferChannels != 0 || mAudioBufferIn.mBufferChannels == 0) {
            platform::printOut("mAudioBufferOut.mBufferChannels != mpAudioSM_Out->mChannelsPerFrame\n");
            return 1'000'000;
        }
        withOutput = false;
    }

    const uint32_t pending = m_pendingFrameSize.exchange(0);
    if (pending != 0 && pending != m_frameSize.getUInt32()) {
        platform::syslog(platform::log::kPriorityNotice, "On USB Proc, change framesize from %d to %d",
                         static_cast<int>(m_frameSize.getUInt32()), static_cast<int>(pending));
        m_frameSize.set(pending, true);
        createIOBuffersInCycle();
        updateLatencies();
    }

    const uint32_t frames = m_frameSize.getUInt32();
    int32_t available = in->getAvailableFrames(readPosition);
    if (frames == 0 || available < static_cast<int32_t>(frames)) {
        return m_filter.calcSleepNanos(available, false);
    }
    m_filter.prepare(static_cast<uint32_t>(m_cTrueChannels.iFrequency), frames, m_inputLatency.getUInt32(),
                     m_outputLatency.getUInt32());
    const DriverSM* sm = driverSM();
    const uint64_t exclusive = shared::load(*reinterpret_cast<const QzU64*>(&sm->mInputsExclusiveClient));
    const uint64_t self = clientID();
    for (int pass = 0; pass < 2 && available >= static_cast<int32_t>(frames); ++pass) {
        const uint64_t kept = readPosition;
        uint64_t hostTime = 0;
        const bool excluded = exclusive != 0 && exclusive != self;
        if (!withInput || excluded || mAudioBufferIn.mIntBuffer == nullptr) {
            in->read(inGeometry, readPosition, nullptr, frames, hostTime, nullptr, nullptr);
            if (mAudioBufferIn.mIntBuffer != nullptr) {
                std::memset(mAudioBufferIn.mIntBuffer, 0, size_t{frames} * mAudioBufferIn.mBufferChannels * 4);
            }
        } else {
            in->read(inGeometry, readPosition, mAudioBufferIn.mIntBuffer, frames, hostTime, audioInt32CopySet,
                     nullptr);
        }
        shared::store(out->mClientFramePos, readPosition);
        m_filter.updateTimestamps(hostTime, kept, in->getFramePos());
        if (callProcs) {
            callIOProcs(hostTime, frames);
        } else if (mAudioBufferOut.mIntBuffer != nullptr) {
            std::memset(mAudioBufferOut.mIntBuffer, 0, size_t{mAudioBufferOut.mIntSamples} * 4);
        }
        if (withOutput) {
            out->writeFrames(outGeometry, mAudioBufferOut.mIntBuffer, frames, getOutWriteAhead(), nullptr, nullptr);
        }
        m_cycles.fetch_add(1, std::memory_order_release);
        available = in->getAvailableFrames(readPosition);
    }
    return m_filter.calcSleepNanos(available, true);
}

OSStatus VKOSXDevice::onDeviceGetCurrentTime(AudioTimeStamp* out)
{
    if (!m_runningStream || out == nullptr) {
        return kAudioHardwareNotRunningError;
    }
    *out = m_filter.currentTime();
    const uint64_t elapsed = AudioGetCurrentHostTime() - m_filter.lastUpdate();
    const uint64_t t = m_filter.ticksPerSample();
    if (elapsed != 0 && t != 0) {
        out->mHostTime += elapsed;
        out->mSampleTime += static_cast<double>(elapsed / t);
    }
    return kAudioHardwareNoError;
}

OSStatus VKOSXDevice::doTranslateTime(const AudioTimeStamp* in, AudioTimeStamp*)
{
    if (in == nullptr || (in->mFlags & (kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid)) == 0) {
        platform::printOut("VKOSXDevice::doTranslateTime the input time stamp has to have at least one of the "
                           "sample or host time valid\n");
        return kAudioHardwareIllegalOperationError;
    }
    if (!m_runningStream) {
        platform::printOut("VKOSXDevice::doTranslateTime can't because the engine isn't running\n");
        return kAudioHardwareNotRunningError;
    }
    if (m_cTrueChannels.iFrequency == 0) {
        platform::printOut("VKOSXDevice::doTranslateTime m_cTrueChannels.iFrequency == 0\n");
        return kAudioHardwareNotRunningError;
    }
    return kAudioHardwareIllegalOperationError;
}

// --- IO procedures

bool IOProcEntry::hasIOProc(AudioDeviceIOProc proc) const
{
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s 0x%p 0x%p\n", "hasIOProc m_pIOProc / inProc",
                     reinterpret_cast<void*>(m_pIOProc), reinterpret_cast<void*>(proc));
    return m_pIOProc == proc;
}

bool IOProcEntry::hasIOProcWithClientData(AudioDeviceIOProc proc, void* data) const
{
    return m_pIOProc == proc && m_clientData == data;
}

void IOProcEntry::start()
{
    VKIOTrace trace(nullptr, 0);
    if (started()) {
        trace.trace("already started");
    } else if (m_pIOProc == nullptr) {
        trace.trace("m_pIOProc is NULL");
    } else {
        const bool ok = m_pDevice->attachIOProc(true);
        m_started.store(ok, std::memory_order_release);
        if (!ok) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n",
                             "m_pDevice->attachIOProc(true); returned false");
        }
    }
}

void IOProcEntry::stop()
{
    VKIOTrace trace(nullptr, 0);
    if (!started()) {
        trace.trace("already stopped");
    } else if (m_pIOProc == nullptr) {
        trace.trace("m_pIOProc is NULL");
    } else {
        m_started.store(false, std::memory_order_release);
        m_pDevice->attachIOProc(false);
    }
}

bool IOProcEntry::callIOProc(AudioDeviceID device, const AudioTimeStamp* now, const AudioBufferList* input,
                             const AudioTimeStamp* inputTime, AudioBufferList* output,
                             const AudioTimeStamp* outputTime, uint32_t outputChannels)
{
    if (!started() || m_pIOProc == nullptr) {
        if (m_pIOProc == nullptr) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "m_pIOProc is NULL");
        }
        return false;
    }
    m_bInput.store(true);
    m_bOutput.store(true);
    AudioBufferList empty{};
    empty.mNumberBuffers = 1;
    const bool inputUsed = input != nullptr && input->mBuffers[0].mNumberChannels >= 1;
    const bool outputUsed = output != nullptr && output->mBuffers[0].mNumberChannels >= 1;
    auto report = [](const char* what, OSStatus status) {
        if (status != 0) {
            platform::syslog(platform::log::kPriorityNotice, "HAL: %s 0x%X\n", what, static_cast<unsigned>(status));
        }
    };
    if (inputUsed) {
        if (outputUsed) {
            const OSStatus status = m_pIOProc(device, now, input, inputTime, output, outputTime, m_clientData);
            report("IO: m_pIOProc returned status osStatus", status);
            return status == 0;
        }
        empty.mBuffers[0].mNumberChannels = outputChannels;
        empty.mBuffers[0].mDataByteSize = outputChannels * 4;
        const OSStatus status = m_pIOProc(device, now, input, inputTime, &empty, outputTime, m_clientData);
        report("IN: m_pIOProc returned status osStatus", status);
        return false;
    }
    empty.mNumberBuffers = 0;
    if (!outputUsed) {
        const OSStatus status = m_pIOProc(device, now, &empty, inputTime, &empty, outputTime, m_clientData);
        report("NULL: m_pIOProc returned status osStatus", status);
        return status == 0;
    }
    const OSStatus status = m_pIOProc(device, now, &empty, inputTime, output, outputTime, m_clientData);
    report("OUT: m_pIOProc returned status osStatus", status);
    return status == 0;
}

void VKOSXDevice::publishProcs(std::vector<IOProcEntry*> procs, std::vector<IOProcEntry*> retired)
{
    auto* next = new std::vector<IOProcEntry*>(std::move(procs));
    std::vector<IOProcEntry*>* previous = m_procs.exchange(next, std::memory_order_acq_rel);
    {
        // The IO thread may still walk the previous list: it is freed, and its removed entries
        // released, once no cycle runs. On the IO thread itself nothing is walked at this point.
        IOHold hold(*this);
    }
    delete previous;
    for (IOProcEntry* entry : retired) {
        entry->decReferences();
    }
}

IOProcEntry* VKOSXDevice::appendProc(AudioDeviceIOProc proc, void* clientData)
{
    auto* entry = new (std::nothrow) IOProcEntry(this, proc, clientData);
    if (entry == nullptr) {
        return nullptr;
    }
    entry->incReferences();
    std::vector<IOProcEntry*> procs = *m_procs.load();
    procs.push_back(entry);
    publishProcs(std::move(procs), {});
    return entry;
}

IOProcEntry* VKOSXDevice::findProcOrID(void* procOrID)
{
    std::lock_guard lock(m_procLock);
    for (IOProcEntry* entry : *m_procs.load()) {
        if (static_cast<void*>(entry) == procOrID || reinterpret_cast<void*>(entry->m_pIOProc) == procOrID) {
            return entry;
        }
    }
    return nullptr;
}

bool VKOSXDevice::addIOProc(AudioDeviceIOProc proc, void* clientData)
{
    VKIOTrace trace(nullptr, 0);
    trace.traceptr2("inProc / inClientData", reinterpret_cast<void*>(proc), clientData);
    if (proc == nullptr) {
        trace.trace("inProc is NULL");
        return false;
    }
    std::lock_guard lock(m_procLock);
    for (IOProcEntry* entry : *m_procs.load()) {
        if (entry->hasIOProc(proc)) {
            trace.trace("addIOProc - entry already exists");
            entry->m_clientData = clientData;
            return true;
        }
    }
    if (appendProc(proc, clientData) == nullptr) {
        trace.trace("failed to create IOProcEntry");
        return false;
    }
    return true;
}

IOProcEntry* VKOSXDevice::addIOProcID(AudioDeviceIOProc proc, void* clientData)
{
    VKIOTrace trace(nullptr, 0);
    trace.traceptr2("inProc / inClientData", reinterpret_cast<void*>(proc), clientData);
    if (proc == nullptr) {
        trace.trace("inProc is NULL");
        return nullptr;
    }
    std::lock_guard lock(m_procLock);
    for (IOProcEntry* entry : *m_procs.load()) {
        if (entry->hasIOProcWithClientData(proc, clientData)) {
            trace.trace("addIOProcID - entry already exists");
            return entry;
        }
    }
    IOProcEntry* entry = appendProc(proc, clientData);
    if (entry == nullptr) {
        trace.trace("failed to create IOProcEntry");
    }
    return entry;
}

bool VKOSXDevice::removeIOProc(AudioDeviceIOProc proc)
{
    VKIOTrace trace(nullptr, 0);
    trace.traceptr1("inProc is ", reinterpret_cast<void*>(proc));
    IOProcEntry* found = nullptr;
    {
        std::lock_guard lock(m_procLock);
        for (IOProcEntry* entry : *m_procs.load()) {
            if (entry->hasIOProc(proc)) {
                found = entry;
                break;
            }
        }
    }
    return found != nullptr ? removeIOProcID(found) : (trace.trace("entry not found"), false);
}

bool VKOSXDevice::removeIOProcID(IOProcEntry* id)
{
    VKIOTrace trace(nullptr, 0);
    trace.traceptr1("pIOProcEntry is ", id);
    {
        IntSpinLock attach(&m_attachLock);
        std::lock_guard lock(m_procLock);
        const auto& current = *m_procs.load();
        if (std::find(current.begin(), current.end(), id) == current.end()) {
            trace.trace("entry not found");
            return false;
        }
    }
    {
        IntSpinLock attach(&m_attachLock);
        id->stop();
    }
    std::lock_guard lock(m_procLock);
    std::vector<IOProcEntry*> procs = *m_procs.load();
    procs.erase(std::remove(procs.begin(), procs.end(), id), procs.end());
    publishProcs(std::move(procs), {id});
    return true;
}

void VKOSXDevice::removeAllIOProcs()
{
    std::vector<IOProcEntry*> all;
    {
        std::lock_guard lock(m_procLock);
        all = *m_procs.load();
    }
    for (IOProcEntry* entry : all) {
        removeIOProcID(entry);
    }
}

bool VKOSXDevice::onDeviceStartProcOrID(void* procOrID)
{
    VKIOTrace trace(nullptr, 0);
    IntSpinLock attach(&m_attachLock);
    if (procOrID != nullptr) {
        IOProcEntry* found = findProcOrID(procOrID);
        if (found == nullptr) {
            std::fprintf(stderr, "VKOSXDevice::onDeviceStart - no ioproc\n");
            return false;
        }
        found->start();
        return true;
    }
    ++mNullIOProcStartStopCount;
    if (m_attachState.load() != kDetached) {
        return true;
    }
    trace.trace("VKOSXDevice::onDeviceStart(NULL)");
    prepareHardware();
    announceRunning();
    return true;
}

bool VKOSXDevice::onDeviceStopProcOrID(void* procOrID)
{
    VKIOTrace trace(nullptr, 0);
    IntSpinLock attach(&m_attachLock);
    if (procOrID != nullptr) {
        IOProcEntry* found = findProcOrID(procOrID);
        if (found == nullptr) {
            trace.trace("entry not found");
            return false;
        }
        found->stop();
        return true;
    }
    if (mNullIOProcStartStopCount < 1) {
        return true;
    }
    if (--mNullIOProcStartStopCount == 0 && m_attachState.load() != kDetached) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "mNullIOProcStartStopCount = 0");
        trace.trace("DETACH FROM USB");
        m_attachState.store(kDetached);
        platform::printOut("VKOSXDevice::onDeviceStopProcOrID !inProcID, callDetach\n");
        callDetach();
        announce(kAudioDevicePropertyDeviceIsRunning, true);
    }
    return true;
}

bool VKOSXDevice::ioprocHasAttachedIn() const
{
    for (IOProcEntry* entry : *m_procs.load()) {
        if (entry->hasIOProcIn()) {
            return true;
        }
    }
    return false;
}

bool VKOSXDevice::ioprocHasAttachedOut() const
{
    for (IOProcEntry* entry : *m_procs.load()) {
        if (entry->hasIOProcOut()) {
            return true;
        }
    }
    return false;
}

// Called with the attach lock held (start and stop of entries).
bool VKOSXDevice::attachIOProc(bool start)
{
    if (start) {
        m_buffersRebuild = false;
        m_start = true;
        if (m_pendingDirection != 0) {
            // Settings chosen while another process streamed go to the kernel now.
            const bool usesInput = ioprocHasAttachedIn();
            const bool usesOutput = ioprocHasAttachedOut();
            if ((m_pending.iFrequency == 88'200 || m_pending.iFrequency == 96'000) && !isUSB2Device()) {
                if (!usesInput && m_pending.iOutChannels == 2) {
                    m_pending.iInChannels = 0;
                    m_pendingDirection = 2;
                }
                if (!usesOutput && m_pending.iInChannels == 2) {
                    m_pending.iOutChannels = 0;
                    m_pendingDirection = 1;
                }
            }
            setSettings(m_pending, m_pendingDirection == 1, false, false);
            m_buffersRebuild = true;
        }
        m_attachedProcs.fetch_add(1);
    } else {
        m_attachedProcs.fetch_sub(1);
    }
    const int count = m_attachedProcs.load();
    if (count == 0 && mNullIOProcStartStopCount == 0 && m_attachState.load() != kDetached) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "USB MUST BE STOPPED  RIGHT HERE");
        announce(kAudioDevicePropertyDeviceIsRunning, true);
        m_attachState.store(kDetached);
        callDetach();
    } else if (m_attachState.load() == kDetached && count >= 1) {
        platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "USB MUST BE STARTED  RIGHT HERE");
        announceRunning();
        if (m_buffersRebuild) {
            m_buffersRebuild = false;
            m_start = false;
            createIOBuffers();
        }
        prepareHardware();
    }
    return true;
}

OSStatus VKOSXDevice::getStreamUsage(AudioHardwareIOProcStreamUsage* usage, bool isInput)
{
    if (usage != nullptr) {
        std::lock_guard lock(m_procLock);
        for (IOProcEntry* entry : *m_procs.load()) {
            if (static_cast<void*>(entry) == usage->mIOProc ||
                reinterpret_cast<void*>(entry->m_pIOProc) == usage->mIOProc) {
                usage->mNumberStreams = 1;
                usage->mStreamIsOn[0] = (isInput ? entry->m_bInput.load() : entry->m_bOutput.load()) ? 1 : 0;
                return kAudioHardwareNoError;
            }
        }
    }
    platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n", "VKOSXDevice::getStreamUsage entry not found");
    return static_cast<OSStatus>(kIOReturnNoDevice);
}

OSStatus VKOSXDevice::setStreamUsage(const AudioHardwareIOProcStreamUsage* usage, bool isInput)
{
    if (usage != nullptr) {
        std::lock_guard lock(m_procLock);
        for (IOProcEntry* entry : *m_procs.load()) {
            if (static_cast<void*>(entry) == usage->mIOProc ||
                reinterpret_cast<void*>(entry->m_pIOProc) == usage->mIOProc) {
                const bool on = usage->mNumberStreams >= 1 && usage->mStreamIsOn[0] != 0;
                (isInput ? entry->m_bInput : entry->m_bOutput).store(on);
                platform::syslog(platform::log::kPriorityNotice, "HAL: %s\n",
                                 isInput ? (on ? "enabled input" : "disable input")
                                         : (on ? "enabled output" : "disable output"));
                return kAudioHardwareNoError;
            }
        }
    }
    return static_cast<OSStatus>(kIOReturnNoDevice);
}

OSStatus VKOSXDevice::getStreamConfiguration(bool isInput, AudioBufferList* list)
{
    if (list == nullptr) {
        return static_cast<OSStatus>(kIOReturnError);
    }
    *list = (isInput ? mAudioBufferIn : mAudioBufferOut).mList;
    list->mBuffers[0].mData = nullptr;
    return kAudioHardwareNoError;
}

// IO thread, inside a cycle.
void VKOSXDevice::callIOProcs(uint64_t, uint32_t frames)
{
    const uint32_t inDevice = static_cast<uint32_t>(std::clamp(m_cTrueChannels.iInChannels, 0, 32));
    const uint32_t outDevice = static_cast<uint32_t>(std::clamp(m_cTrueChannels.iOutChannels, 0, 32));
    const uint32_t inClient = mAudioBufferIn.mList.mBuffers[0].mNumberChannels;
    const uint32_t outClient = mAudioBufferOut.mList.mBuffers[0].mNumberChannels;
    auto* inFloat = static_cast<float*>(mAudioBufferIn.mList.mBuffers[0].mData);
    const bool codec = m_codecFlags[0].load() || m_codecFlags[1].load();
    if (mAudioBufferIn.mIntBuffer != nullptr && inFloat != nullptr) {
        if (codec || m_sampleKind[0] == 1) {
            convertIntToFloat(mAudioBufferIn.mIntBuffer, inDevice, inFloat, inClient, frames);
        } else {
            audioMapChannelsSet(mAudioBufferIn.mIntBuffer, inDevice, reinterpret_cast<int32_t*>(inFloat), inClient,
                                frames);
        }
        if (codec && m_sampleKind[0] == 4) {
            audioConvertFloatToSInt32(inFloat, inClient, frames);
        }
    }
    if (mAudioBufferOut.mIntBuffer != nullptr) {
        std::memset(mAudioBufferOut.mIntBuffer, 0, size_t{mAudioBufferOut.mIntSamples} * 4);
    }
    bool first = true;
    auto* outFloat = mAudioBufferOut.mList.mBuffers[0].mData;
    for (IOProcEntry* entry : *m_procs.load(std::memory_order_acquire)) {
        if (outFloat != nullptr) {
            std::memset(outFloat, 0, mAudioBufferOut.mList.mBuffers[0].mDataByteSize);
        }
        const bool produced =
            entry->callIOProc(m_deviceID, &m_filter.currentTime(), &mAudioBufferIn.mList, &m_filter.inputTime(),
                              &mAudioBufferOut.mList, &m_filter.outputTime(), m_outputSettings.iOutChannels > 0
                                                                                   ? static_cast<uint32_t>(m_outputSettings.iOutChannels)
                                                                                   : 0);
        if (produced && mAudioBufferOut.mIntBuffer != nullptr && outFloat != nullptr) {
            if (m_sampleKind[1] == 1) {
                audioConvertFloatToSInt32LowAligned(outFloat, outClient, frames);
            } else {
                audioConvertSint32ToSInt32LowAligned(outFloat, outClient, frames);
            }
            if (first) {
                audioMapChannelsSet(static_cast<int32_t*>(outFloat), outClient, mAudioBufferOut.mIntBuffer, outDevice,
                                    frames);
            } else {
                audioMapChannelsAdd(static_cast<int32_t*>(outFloat), outClient, mAudioBufferOut.mIntBuffer, outDevice,
                                    frames);
            }
            first = false;
        }
    }
    if (uint32_t* word = slotWord(kSlotCycles)) {
        std::atomic_ref<uint32_t>(*word).fetch_add(1);
    }
}
