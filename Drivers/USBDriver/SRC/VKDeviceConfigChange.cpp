// Configuration change and the controls updates of user requests: onPrepareNewConfig,
// startStreamAfterConfig, the Update family, the small getters and setters behind the requests,
// and what a closing client leaves behind.
#include <cstring>

#include "DriverData.h"
#include "DriverSM.h"
#include "IOKit/IOLib.h"
#include "StateChange.h"
#include "VKDevice.h"
#include "VKDeviceOwner.h"

namespace {

// Fields of the device controls record read here.
constexpr size_t kControlsMonitorSwitch = 3820; // u32: the device has a monitor switch
constexpr size_t kControlsMonitor = 3828;       // u8: monitor switch value
constexpr size_t kControlsDigitalRouting = 3832; // u32: digital routing

uint32_t loadWord(const uint8_t* block, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, block + offset, sizeof value);
    return value;
}

void storeWord(uint8_t* block, size_t offset, uint32_t value)
{
    std::memcpy(block + offset, &value, sizeof value);
}

bool sameStream(const QzChannelSettings& a, const QzChannelSettings& b)
{
    return a.iFrequency == b.iFrequency && a.iInResolution == b.iInResolution && a.iInChannels == b.iInChannels &&
           a.iOutChannels == b.iOutChannels && a.iOutResolution == b.iOutResolution;
}

bool validResolution(int32_t bits, int32_t channels)
{
    switch (bits) {
    case 8:
    case 16:
    case 20:
    case 24:
    case 32:
        return true;
    case 0:
        return channels == 0; // a direction without channels may leave it unset
    default:
        return false;
    }
}

} // namespace

bool VKDevice::validChannelSettings(const QzChannelSettings& s) const
{
    const bool rate = s.iFrequency > 0 && s.iFrequency <= kMaxFrequency;
    const bool channels = s.iInChannels >= 0 && s.iInChannels <= kMaxChannels && s.iOutChannels >= 0 &&
                          s.iOutChannels <= kMaxChannels && (s.iInChannels > 0 || s.iOutChannels > 0);
    const bool bits = validResolution(s.iInResolution, s.iInChannels) &&
                      validResolution(s.iOutResolution, s.iOutChannels);
    const int configurations = getCountConfigurationDescriptors();
    const bool configuration = configurations > 0 && s.uConfiguration < static_cast<uint32_t>(configurations);
    if (!(rate && channels && bits && configuration)) {
        IOLog("refused settings fr:%d in:%d/%d out %d/%d config %u\n", s.iFrequency, s.iInChannels, s.iInResolution,
              s.iOutChannels, s.iOutResolution, s.uConfiguration);
        return false;
    }
    return true;
}

bool VKDevice::onPrepareNewConfig(const QzChannelSettings& settings, IOUserClient* client, bool force)
{
    IOLog("VKDevice::onPrepareNewConfig from:%p\n", static_cast<void*>(client));
    DriverSM* sm = mpDriverSM;
    if (sm == nullptr) {
        IOLog("SM NULL\n");
        return false;
    }
    QzChannelSettings& current = *getCurrentSettings();
    IOLog(".onPrepareNewConfig Frequency Current: %d, Requested: %d\n", current.iFrequency, settings.iFrequency);
    IOLog(".Config            InChannels Current: %d, Requested: %d\n", current.iInChannels, settings.iInChannels);
    IOLog(".Config           OutChannels Current: %d, Requested: %d\n", current.iOutChannels, settings.iOutChannels);
    IOLog(".Config          InResolution Current: %d, Requested: %d\n", current.iInResolution,
          settings.iInResolution);
    IOLog(".Config         OutResolution Current: %d, Requested: %d\n", current.iOutResolution,
          settings.iOutResolution);
    // Nothing a stream cannot carry is stored: a later attach or stream start would size and time
    // everything by it.
    if (!validChannelSettings(settings)) {
        return false;
    }
    if (sm->mConfigured != 0 && !force && sameStream(current, settings)) {
        IOLog("already configured\n");
        // The block shows the settings in force again, whatever was written there meanwhile.
        mirrorSettings();
        return false;
    }
    IOLog("configure fr:%d in:%d/%d out %d/%d\n", settings.iFrequency, settings.iInChannels, settings.iInResolution,
          settings.iOutChannels, settings.iOutResolution);
    const QzChannelSettings lastConfigured = current;
    const bool wasConfigured = sm->mConfigured != 0;
    // A change that falls back reports the status the device had before it.
    const uint32_t statusBefore = mOwner.configurationStatus();
    IOLog("onPrepareNewConfig bWasConfigured: %d\n", wasConfigured ? 1 : 0);

    if ((streamingStarted() != 0 || stopUnfinished() != 0) && !stopStreaming(true)) {
        IOLog("onPrepareNewConfig: streaming did not stop; configuration unchanged\n");
        return false;
    }
    const bool reset = (isCorlanthCompatible() || hasTrait(vkdevice::kTraitResetWhenUnconfigured)) &&
                       !isMorvaneCompatible() && !isTessalyCompatible();
    mOwner.unconfigureDevice(reset, "VKDevice::onPrepareNewConfig");

    sm->bIsConfiguring = 0;
    current = settings;
    IOLog("onPrepareNewConfig: cQzChannelSettings.ifrequency=%d, iChan=%d, oChan=%d\n", current.iFrequency,
          current.iInChannels, current.iOutChannels);
    const IOReturn status = mOwner.reqConfigureDevice("onPrepareNewConfig");
    if (status == kIOReturnSuccess) {
        sm->mConfigured = 1;
    } else {
        IOLog("onPrepareNewConfig: reqConfigureDevice returns %d\n", status);
        if (wasConfigured) {
            sm->mConfigured = 0;
            sm->bIsConfiguring = 0;
            current = lastConfigured;
            IOLog("Requesting status: 0x%08x\n", mOwner.configurationStatus());
            const IOReturn again = mOwner.reqConfigureDevice("onPrepareNewConfig 2");
            IOLog("onPrepareNewConfig bWasConfigured: cQzChannelSettingsLastConfigured.ifrequency=%d\n",
                  lastConfigured.iFrequency);
            IOLog("onPrepareNewConfig: reqConfigureDevice (2) returns %d\n", again);
            if (again == kIOReturnSuccess) {
                IOLog("Setting status: 0x%08x\n", statusBefore);
                mOwner.setConfigurationStatus(statusBefore);
                sm->mConfigured = 1;
            }
        }
    }
    mirrorSettings();
    mOwner.setChannelSettingsProperty();
    mOwner.setAqExtDataProperty();
    mOwner.messageToClients(STC_NewConfig, VKClientIdentifier(client), 0, 0);
    return sm->mConfigured != 0;
}

void VKDevice::startStreamAfterConfig()
{
    if (mpDriverData != nullptr) {
        mpDriverData->reinitClientsForStreaming(*getCurrentSettings());
    }
    startStreaming();
}

DriverData* VKDevice::getAndRetainDriverData()
{
    if (mpDriverData != nullptr) {
        mpDriverData->retain();
    }
    return mpDriverData;
}

void VKDevice::detachAllClients()
{
    if (mpDriverData == nullptr) {
        IOLog("USB: %s\n", "theDriverData IS NULL");
        return;
    }
    mpDriverData->detachAllClients();
}

// Controls handling A: the live block is applied after the block as last applied is put back in
// its place; B: the live block with one field changed.
void VKDevice::applyControlsA()
{
    uint8_t* live = mpDriverSM->mDeviceControls;
    std::memcpy(mWorkingControls, live, kStoredControlsSize);
    std::memcpy(live, mpDriverSM->mDeviceControlsNext, kStoredControlsSize);
    applyWorkingControls();
}

void VKDevice::applyWorkingControls()
{
    XsDeviceControls working{};
    static_assert(sizeof working == kStoredControlsSize);
    std::memcpy(&working, mWorkingControls, sizeof working);
    setSelectors(working);
}

void VKDevice::UpdateMuteStatus(IOUserClient* client)
{
    if (mpDriverSM == nullptr) {
        return;
    }
    applyControlsA();
    mOwner.messageToClients(STC_ChangeMute, VKClientIdentifier(client), 0, 0);
}

void VKDevice::UpdateDataSourceSelector(IOUserClient* client)
{
    if (mpDriverSM != nullptr) {
        applyControlsA();
    }
    mOwner.messageToClients(STC_ChangeDataSource, VKClientIdentifier(client), 0, 0);
}

void VKDevice::UpdateVolumeStatus(bool flag, IOUserClient* client)
{
    if (!flag && mpDriverSM != nullptr) {
        applyControlsA();
    }
    mOwner.messageToClients(STC_ChangeVolume, VKClientIdentifier(client), 0, 0);
}

void VKDevice::UpdateMonitorStatus(uint32_t value, IOUserClient* client)
{
    if (mpDriverSM == nullptr || !getCanMonitor() || value == getMonitorValue()) {
        return;
    }
    std::memcpy(mWorkingControls, mpDriverSM->mDeviceControls, kStoredControlsSize);
    mWorkingControls[kControlsMonitor] = static_cast<uint8_t>(value);
    applyWorkingControls();
    mOwner.messageToClients(STC_ChangeMonitor, VKClientIdentifier(client), 0, 0);
}

void VKDevice::UpdateMindprintRouting(uint32_t value, IOUserClient*)
{
    if (!hasTrait(vkdevice::kTraitMindprintRouting) || mpDriverSM == nullptr || value == getMindprintRoutingValue()) {
        return;
    }
    std::memcpy(mWorkingControls, mpDriverSM->mDeviceControls, kStoredControlsSize);
    storeWord(mWorkingControls, kControlsDigitalRouting, value);
    applyWorkingControls();
}

bool VKDevice::getCanMonitor() const
{
    return mpDriverSM != nullptr && loadWord(mpDriverSM->mDeviceControls, kControlsMonitorSwitch) != 0;
}

uint32_t VKDevice::getMonitorValue() const
{
    return getCanMonitor() ? mpDriverSM->mDeviceControls[kControlsMonitor] : 0;
}

uint32_t VKDevice::getMindprintRoutingValue() const
{
    if (!hasTrait(vkdevice::kTraitMindprintRouting) || mpDriverSM == nullptr) {
        return 0;
    }
    return loadWord(mpDriverSM->mDeviceControls, kControlsDigitalRouting);
}

void VKDevice::setHALVersion(uint32_t version)
{
    if (mHALVersion == 0) {
        mHALVersion = version;
    }
}

void VKDevice::deviceSettingsLoadControls(uint8_t* controls) const
{
    if (controls != nullptr && mControlsStored != 0) {
        std::memcpy(controls, mStoredControls, kStoredControlsSize);
    }
}

void VKDevice::onClientClosed(IOUserClient* client)
{
    const uint64_t id = VKClientIdentifier(client);
    // The mixer's own records first; the shared block's copies below are for display.
    if (mpDriverData != nullptr) {
        mpDriverData->clearClientIdentifiers(id);
    }
    if (mpDriverSM != nullptr && id != 0) {
        // Only 4-byte aligned in the block: read and written as bytes.
        for (uint64_t* record : {&mpDriverSM->mInputsExclusiveClient, &mpDriverSM->mOutputsExclusiveClient,
                                 &mpDriverSM->mPrivateDataClient}) {
            uint64_t value = 0;
            std::memcpy(&value, record, sizeof value);
            if (value == id) {
                value = 0;
                std::memcpy(record, &value, sizeof value);
            }
        }
    }
}
