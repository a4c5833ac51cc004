// An interface (alternate setting 0) or one of its alternates: parsing, the device fix-ups,
// searches, the device description entries and the generators.
#include <algorithm>

#include "DeviceModels.h"
#include "IOKit/IOLib.h"
#include "VKIOTrace.h"
#include "VKUSBDescriptors.h"

namespace {

constexpr uint8_t kInterfaceSize = 9;
// Discrete rates looked at by the capability test.
constexpr int32_t kMaxCapabilityRates = 16;

// Interface relabelling of non-compliant devices.
enum Relabel : uint8_t
{
    kInterface1Streaming = 1, // interface 1 becomes audio streaming
    kInterface2Streaming = 2, // interface 2 becomes audio streaming
    kStreamingAndMidi = 4,    // interfaces 1 and 2 audio streaming, interface 3 MIDI
};

enum class Record : uint8_t
{
    any,       // whether or not the device has a feature record
    withoutIt, // only when it has none
};

struct RelabelRow
{
    DeviceModel model;
    uint16_t release; // kAnyRelease for every release
    Record record;
    Relabel relabel;
};

// Models whose vendor interfaces carry audio and MIDI; the feature flags kCorlanthCompatible
// (interface 1) and kMorvaneCompatible (1, 2 and MIDI 3) do the same for listed devices.
constexpr RelabelRow kRelabelRows[] = {
    {kModelKelvraUC3, 0x0200, Record::withoutIt, kInterface1Streaming},
    {kModelPellirun, kAnyRelease, Record::any, kInterface2Streaming},
    {kModelFendrimo, kAnyRelease, Record::any, kInterface2Streaming},
    {kModelKelvraUC3, kAnyRelease, Record::any, kInterface2Streaming},
    {kModelKelvraUC3, 0x0200, Record::withoutIt, kStreamingAndMidi},
    {kModelUS322, kAnyRelease, Record::any, kStreamingAndMidi},
    {kModelUS366, kAnyRelease, Record::any, kStreamingAndMidi},
    {kModelUS1200, kAnyRelease, Record::any, kStreamingAndMidi},
    {kModelUH7000, kAnyRelease, Record::any, kStreamingAndMidi},
};
static_assert(modelsRegistered(kRelabelRows));

bool relabelApplies(Relabel relabel, const VIDPID& device)
{
    const APISpecificFeatures* features = device.mFeatures;
    const bool valid = features != nullptr && features->isValid();
    if (valid && relabel == kInterface1Streaming &&
        features->mFlags[APISpecificFeatures::kCorlanthCompatible] != 0) {
        return true;
    }
    if (valid && relabel == kStreamingAndMidi && features->mFlags[APISpecificFeatures::kMorvaneCompatible] != 0) {
        return true;
    }
    for (const RelabelRow& row : kRelabelRows) {
        if (row.relabel == relabel && (row.record == Record::any || !valid) &&
            device.isDevice(row.model.vendor, row.model.product, row.release)) {
            return true;
        }
    }
    return false;
}

const VKInterfaceDescriptorSpecificAS* firstFormatTypeI(const VKInterfaceDescriptor& interface)
{
    for (int32_t i = 0; i < interface.getCountAS(); ++i) {
        const VKInterfaceDescriptorSpecificAS* as = interface.getAudioStreamingSpecific(i);
        if (as->isFormatType()) {
            return as;
        }
    }
    return nullptr;
}

bool singleDiscreteRate(const VKInterfaceDescriptorSpecificAS* as)
{
    return as != nullptr && !as->isContinousFrequency() && as->getCountFrequencies() == 1;
}

} // namespace

VKInterfaceDescriptor::VKInterfaceDescriptor(VKConfigurationDescriptor* configuration, VKInterfaceDescriptor* parent)
    : m_pConfiguration(parent != nullptr ? parent->m_pConfiguration : configuration), m_pParent(parent)
{
}

VKInterfaceDescriptor::~VKInterfaceDescriptor()
{
    m_cAC.deleteAll();
    m_cAS.deleteAll();
    m_cAlternates.deleteAll();
    m_cPipes.deleteAll();
    m_cHID.deleteAll();
    close(false);
}

void VKInterfaceDescriptor::clear()
{
    m_uInterfaceNumber = 0;
    m_uAlternateSetting = 0;
    m_uNumEndpoints = 0;
    m_uInterfaceClass = 0;
    m_uInterfaceSubClass = 0;
    m_uInterfaceProtocol = 0;
    m_uInterface = 0;
    m_cAC.deleteAll();
    m_cAS.deleteAll();
    m_cAlternates.deleteAll();
    m_cPipes.deleteAll();
}

bool VKInterfaceDescriptor::scan(USBByteBuffer& buffer, const VIDPID& device)
{
    VKIOTrace trace("VKInterfaceDescriptor::scan", this);
    clear();
    m_VIDPID = device;
    const uint8_t length = buffer.peek(0);
    const uint8_t type = buffer.peek(1);
    if (length < kInterfaceSize || buffer.getRemaining() < kInterfaceSize) {
        IOLog("USB: %s 0x%X\n", "ERROR Buffer to small. Requested 0x09, Size is", length);
        return false;
    }
    if (type != usb_descriptor::kInterface) {
        IOLog("USB: %s 0x%X\n", "ERROR Wrong descriptor type ", type);
        return false;
    }
    uint8_t skip = 0;
    buffer >> skip >> skip >> m_uInterfaceNumber >> m_uAlternateSetting >> m_uNumEndpoints >> m_uInterfaceClass >>
        m_uInterfaceSubClass >> m_uInterfaceProtocol >> m_uInterface;
    applyDeviceFixups(device);
    buffer.forward(length - kInterfaceSize);
    if (buffer.getRemaining() == 0) {
        return true;
    }
    return scanElements(buffer, device);
}

void VKInterfaceDescriptor::applyDeviceFixups(const VIDPID& device)
{
    VKIOTrace trace("VKInterfaceDescriptor::applyDeviceFixups", m_uInterfaceNumber);
    trace.trace("INTERFACE-CHECK");
    if (m_uInterfaceNumber == 1 && relabelApplies(kInterface1Streaming, device)) {
        trace.trace("...CHANGE IF #1 TO AUDIOCLASS");
        makeAudioStreaming();
    }
    trace.trace("INTERFACE-CHECK");
    if (m_uInterfaceNumber == 2 && relabelApplies(kInterface2Streaming, device)) {
        trace.trace("...CHANGE IF #2 TO AUDIOCLASS");
        makeAudioStreaming();
    }
    trace.trace("INTERFACE-CHECK");
    if (m_uInterfaceNumber >= 1 && m_uInterfaceNumber <= 3 && relabelApplies(kStreamingAndMidi, device)) {
        if (m_uInterfaceNumber == 3) {
            trace.trace("...CHANGE IF #3 TO AUDIOCLASS/MIDI");
            m_uInterfaceClass = usb_descriptor::kClassAudio;
            m_uInterfaceSubClass = usb_descriptor::kSubClassMidiStreaming;
        } else {
            trace.trace(m_uInterfaceNumber == 1 ? "...CHANGE IF #1 TO AUDIOCLASS" : "...CHANGE IF #2 TO AUDIOCLASS");
            makeAudioStreaming();
        }
    }
}

// One element after the interface descriptor per round. Every round moves past at least the
// element's own descriptor; a descriptor of length 0 ends the scan.
bool VKInterfaceDescriptor::scanElements(USBByteBuffer& buffer, const VIDPID& device)
{
    VKIOTrace trace("VKInterfaceDescriptor::scanElements", m_uInterfaceNumber);
    while (buffer.getRemaining() > 0) {
        const uint32_t start = buffer.getReadPos();
        const uint32_t length = buffer.peek(0);
        const uint8_t type = buffer.peek(1);
        if (type == 0) {
            buffer.forward(length != 0 ? length : 1);
            continue;
        }
        if (length == 0) {
            return true;
        }
        switch (type) {
        case usb_descriptor::kInterface: {
            // Only alternate setting 0 collects the alternates of its number.
            if (buffer.peek(2) != m_uInterfaceNumber || m_uAlternateSetting != 0 || m_pParent != nullptr) {
                return true;
            }
            auto* alternate = new VKInterfaceDescriptor(m_pConfiguration, this);
            if (alternate == nullptr) {
                return true;
            }
            if (alternate->scan(buffer, device) && m_cAlternates.add(alternate)) {
                trace.trace("----------------- Alternate Interface added:", alternate->m_uAlternateSetting);
                removeSmallerDuplicate(alternate);
            } else {
                delete alternate;
            }
            break;
        }
        case usb_descriptor::kEndpoint: {
            auto* pipe = new VKPipeDescriptor(this);
            if (pipe != nullptr && !(pipe->scan(buffer) && m_cPipes.add(pipe))) {
                delete pipe;
            }
            break;
        }
        case usb_descriptor::kHID: {
            auto* hid = new VKHIDDescriptor();
            if (hid != nullptr && !(hid->scan(buffer) && m_cHID.add(hid))) {
                delete hid;
            }
            break;
        }
        case usb_descriptor::kClassInterface:
            if (m_uInterfaceSubClass == usb_descriptor::kSubClassAudioStreaming) {
                auto* as = new VKInterfaceDescriptorSpecificAS();
                if (as != nullptr && !(as->scan(buffer) && m_cAS.add(as))) {
                    delete as;
                }
            } else if (m_uInterfaceSubClass == usb_descriptor::kSubClassAudioControl) {
                auto* ac = new VKInterfaceDescriptorSpecificAC();
                if (ac != nullptr && !(ac->scan(buffer) && m_cAC.add(ac))) {
                    delete ac;
                }
            } else {
                trace.trace("Unknown audio subclass - forwarding data");
                buffer.forward(length);
            }
            break;
        default:
            // Not part of an interface: the configuration goes on after it.
            buffer.forward(length);
            return true;
        }
        // An element that failed, or read less than its descriptor, still moves past it.
        const uint32_t end = start + length;
        if (buffer.getReadPos() < end) {
            buffer.forward(end - buffer.getReadPos());
        }
    }
    return true;
}

int32_t VKInterfaceDescriptor::countDescribedPipes() const
{
    return std::min<int32_t>(m_cPipes.getCount(), APIInterfaceAlternateInfo::kMaxEndpoints);
}

void VKInterfaceDescriptor::removeSmallerDuplicate(VKInterfaceDescriptor* added)
{
    VKIOTrace trace("VKInterfaceDescriptor::removeSmallerDuplicate", added->m_uAlternateSetting);
    const VKInterfaceDescriptorSpecificAS* format = firstFormatTypeI(*added);
    if (!singleDiscreteRate(format)) {
        return;
    }
    const uint32_t frequency = format->getFrequency(0);
    const uint8_t channels = format->getNumChannels();
    const uint8_t resolution = format->getBitResolution();
    IOLog("USB: %s %d %d %d\n", "Find other interface with same capabilities", frequency, channels, resolution);
    VKInterfaceDescriptor* found = findAlternateSetting(frequency, channels, resolution, m_VIDPID);
    if (found == nullptr || found == this || found == added || !singleDiscreteRate(firstFormatTypeI(*found)) ||
        found->countDescribedPipes() != added->countDescribedPipes()) {
        return;
    }
    for (int32_t i = 0; i < added->countDescribedPipes(); ++i) {
        const uint16_t existingSize = found->getPipeByIndex(i)->getMaxPacketSize();
        const uint16_t newSize = added->getPipeByIndex(i)->getMaxPacketSize();
        if (existingSize < newSize) {
            trace.trace("...remove existing Number/MPS ", found->m_uAlternateSetting, existingSize);
            m_cAlternates.del(found);
            return;
        }
        if (newSize < existingSize) {
            trace.trace("...remove new Number/MPS ", added->m_uAlternateSetting, newSize);
            m_cAlternates.del(added);
            return;
        }
    }
}

// --- Predicates and lookups

bool VKInterfaceDescriptor::isAudioControl() const
{
    return m_uInterfaceClass == usb_descriptor::kClassAudio &&
           m_uInterfaceSubClass == usb_descriptor::kSubClassAudioControl;
}

bool VKInterfaceDescriptor::isHIDInterface() const
{
    return m_uInterfaceClass == usb_descriptor::kClassHID && m_uInterfaceSubClass == 0;
}

bool VKInterfaceDescriptor::isVendorInterface() const
{
    return m_uInterfaceClass == usb_descriptor::kClassVendor;
}

bool VKInterfaceDescriptor::isMidiInterface() const
{
    return m_uInterfaceClass == usb_descriptor::kClassAudio &&
           m_uInterfaceSubClass == usb_descriptor::kSubClassMidiStreaming;
}

bool VKInterfaceDescriptor::isAudioStreamingIn() const
{
    if (m_uInterfaceClass != usb_descriptor::kClassAudio ||
        m_uInterfaceSubClass != usb_descriptor::kSubClassAudioStreaming) {
        return false;
    }
    if (getIsocInPipe() != nullptr) {
        return true;
    }
    for (int32_t i = 0; i < m_cAlternates.getCount(); ++i) {
        if (getAlternateSettingByIndex(i)->getIsocInPipe() != nullptr) {
            return true;
        }
    }
    return false;
}

bool VKInterfaceDescriptor::isAudioStreamingOut() const
{
    if (m_uInterfaceClass != usb_descriptor::kClassAudio ||
        m_uInterfaceSubClass != usb_descriptor::kSubClassAudioStreaming) {
        return false;
    }
    if (getIsocOutPipe() != nullptr) {
        return true;
    }
    for (int32_t i = 0; i < m_cAlternates.getCount(); ++i) {
        if (getAlternateSettingByIndex(i)->getIsocOutPipe() != nullptr) {
            return true;
        }
    }
    return false;
}

VKInterfaceDescriptor* VKInterfaceDescriptor::getAlternateSetting(uint8_t alternate)
{
    for (int32_t i = 0; i < m_cAlternates.getCount(); ++i) {
        VKInterfaceDescriptor* candidate = getAlternateSettingByIndex(i);
        if (candidate->m_uAlternateSetting == alternate) {
            return candidate;
        }
    }
    return alternate == 0 && m_uAlternateSetting == 0 ? this : nullptr;
}

VKInterfaceDescriptor* VKInterfaceDescriptor::getAlternateSettingByIndex(int32_t index) const
{
    return m_cAlternates.at<VKInterfaceDescriptor>(index);
}

VKInterfaceDescriptorSpecificAS* VKInterfaceDescriptor::getAudioStreamingSpecific(int32_t index) const
{
    return m_cAS.at<VKInterfaceDescriptorSpecificAS>(index);
}

VKInterfaceDescriptorSpecificAC* VKInterfaceDescriptor::getAudioControlSpecific(int32_t index) const
{
    return m_cAC.at<VKInterfaceDescriptorSpecificAC>(index);
}

VKHIDDescriptor* VKInterfaceDescriptor::getHIDDescriptor(int32_t index) const
{
    return m_cHID.at<VKHIDDescriptor>(index);
}

VKPipeDescriptor* VKInterfaceDescriptor::getPipeByIndex(int32_t index) const
{
    return m_cPipes.at<VKPipeDescriptor>(index);
}

VKPipeDescriptor* VKInterfaceDescriptor::getPipeByID(uint8_t endpointNumber) const
{
    for (int32_t i = 0; i < m_cPipes.getCount(); ++i) {
        VKPipeDescriptor* pipe = getPipeByIndex(i);
        if (pipe->getEndpointID() == endpointNumber) {
            return pipe;
        }
    }
    return nullptr;
}

VKPipeDescriptor* VKInterfaceDescriptor::getPipeByAddress(uint8_t address) const
{
    for (int32_t i = 0; i < m_cPipes.getCount(); ++i) {
        VKPipeDescriptor* pipe = getPipeByIndex(i);
        if (pipe->getAddressByte() == address) {
            return pipe;
        }
    }
    return nullptr;
}

namespace {

template <class Test> VKPipeDescriptor* firstPipe(const VKInterfaceDescriptor& interface, Test test)
{
    for (int32_t i = 0; i < interface.getCountPipes(); ++i) {
        VKPipeDescriptor* pipe = interface.getPipeByIndex(i);
        if (test(*pipe)) {
            return pipe;
        }
    }
    return nullptr;
}

} // namespace

VKPipeDescriptor* VKInterfaceDescriptor::getIsocInPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isIsocInPipe(); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getIsocOutPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isIsocOutPipe(); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getIsocInPipeInRange(uint32_t minSize, uint32_t maxSize) const
{
    return firstPipe(*this, [=](const VKPipeDescriptor& p) { return p.isIsocInPipeInRange(minSize, maxSize); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getIsocOutPipeInRange(uint32_t minSize, uint32_t maxSize) const
{
    return firstPipe(*this, [=](const VKPipeDescriptor& p) { return p.isIsocOutPipeInRange(minSize, maxSize); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getInterruptInPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isInterruptInPipe(); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getInterruptOutPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isInterruptOutPipe(); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getBulkInPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isBulkInPipe(); });
}

VKPipeDescriptor* VKInterfaceDescriptor::getBulkOutPipe() const
{
    return firstPipe(*this, [](const VKPipeDescriptor& p) { return p.isBulkOutPipe(); });
}

// --- Capabilities

bool VKInterfaceDescriptor::hasCapabilities(uint32_t frequency, uint32_t channels, uint32_t resolution) const
{
    VKIOTrace trace(nullptr, 0);
    for (int32_t i = 0; i < m_cAS.getCount(); ++i) {
        const VKInterfaceDescriptorSpecificAS* as = getAudioStreamingSpecific(i);
        if (!as->isFormatType() || as->getBitResolution() != resolution || as->getNumChannels() != channels) {
            continue;
        }
        bool found = false;
        if (as->isContinousFrequency()) {
            found = as->getLowerFrequency() <= frequency && frequency <= as->getUpperFrequency();
        } else {
            const int32_t count = std::min<int32_t>(as->getCountFrequencies(), kMaxCapabilityRates);
            for (int32_t r = 0; r < count && !found; ++r) {
                found = as->getFrequency(r) == frequency;
            }
        }
        if (found) {
            trace.trace("...has caps of freq/chan/res", static_cast<int>(frequency), static_cast<int>(channels),
                        static_cast<int>(resolution));
            return true;
        }
    }
    return false;
}

VKInterfaceDescriptor* VKInterfaceDescriptor::findAlternateSetting(uint32_t frequency, uint32_t channels,
                                                                   uint32_t resolution, const VIDPID& /*device*/)
{
    if (m_uInterfaceClass != usb_descriptor::kClassAudio ||
        m_uInterfaceSubClass != usb_descriptor::kSubClassAudioStreaming) {
        return nullptr;
    }
    if (hasCapabilities(frequency, channels, resolution)) {
        return this;
    }
    for (int32_t i = 0; i < m_cAlternates.getCount(); ++i) {
        VKInterfaceDescriptor* alternate = getAlternateSettingByIndex(i);
        if (alternate->hasCapabilities(frequency, channels, resolution)) {
            return alternate;
        }
    }
    return nullptr;
}

const uint8_t* VKInterfaceDescriptor::getUSBInterfaceDescriptor()
{
    const uint8_t descriptor[kInterfaceSize] = {kInterfaceSize,       usb_descriptor::kInterface,
                                                m_uInterfaceNumber,   m_uAlternateSetting,
                                                m_uNumEndpoints,      m_uInterfaceClass,
                                                m_uInterfaceSubClass, m_uInterfaceProtocol,
                                                m_uInterface};
    std::copy(std::begin(descriptor), std::end(descriptor), m_uScratch);
    return m_uScratch;
}

// --- Device description

void VKInterfaceDescriptor::getAPIInterfaceInfo(APIInterfaceInfo& info, const VIDPID& device) const
{
    info.bInterfaceNumber = m_uInterfaceNumber;
    info.bInterfaceSubClass = m_uInterfaceSubClass;
    uint32_t entries = 0;
    for (int32_t i = 0; i < m_cAlternates.getCount() && entries < APIInterfaceInfo::kMaxAlternates; ++i) {
        const VKInterfaceDescriptor* alternate = getAlternateSettingByIndex(i);
        int32_t next = 0;
        while (entries < APIInterfaceInfo::kMaxAlternates) {
            const int32_t used = alternate->getAPIInterfaceAlternateInfo(info.mAlternates[entries], device, next);
            if (used < 0) {
                break;
            }
            ++entries;
            next = used + 1;
        }
    }
    info.mNumAlternates = static_cast<uint8_t>(entries);
}

int32_t VKInterfaceDescriptor::getAPIInterfaceAlternateInfo(APIInterfaceAlternateInfo& info, const VIDPID& device,
                                                            int32_t firstAS) const
{
    for (int32_t index = std::max(firstAS, 0); index < m_cAS.getCount(); ++index) {
        const VKInterfaceDescriptorSpecificAS* as = getAudioStreamingSpecific(index);
        if (!as->isFormatType()) {
            continue;
        }
        info.bAlternateSetting = m_uAlternateSetting;
        const int32_t pipes = countDescribedPipes();
        info.mNumEndpoints = static_cast<uint8_t>(pipes);
        as->getAPIStreamingInfo(info.mStreaming, device);
        for (int32_t p = 0; p < pipes; ++p) {
            getPipeByIndex(p)->getAPIEndpointInfo(info.mEndpoints[p]);
        }
        return index;
    }
    return -1;
}

// --- Generators

void VKInterfaceDescriptor::makeAudioStreaming()
{
    m_uInterfaceClass = usb_descriptor::kClassAudio;
    m_uInterfaceSubClass = usb_descriptor::kSubClassAudioStreaming;
}

VKInterfaceDescriptorSpecificAS* VKInterfaceDescriptor::getOrCreateAS(int32_t index)
{
    VKInterfaceDescriptorSpecificAS* as = getAudioStreamingSpecific(index);
    if (as == nullptr && index == 0 && m_cAS.getCount() == 0) {
        as = createAS();
    }
    return as;
}

VKInterfaceDescriptorSpecificAS* VKInterfaceDescriptor::createAS()
{
    auto* as = new VKInterfaceDescriptorSpecificAS();
    if (as != nullptr && !m_cAS.add(as)) {
        delete as;
        return nullptr;
    }
    return as;
}
