// The plug-in's notification calls, delivered to the process's host.
#include <atomic>

#include "CoreAudio/AudioHardwarePlugIn.h"
#include "mach/mach_time.h"
#include "platform/CoreAudioHost.h"
#include "platform/Log.h"

namespace platform::coreaudio {
namespace {

std::atomic<Host*> gHost{nullptr};

OSStatus nobodyListens(const char* call)
{
    platform::syslog(platform::log::kPriorityNotice, "CoreAudio: %s without a host: nobody listens\n", call);
    return kAudioHardwareNotRunningError;
}

std::string fourCC(uint32_t code)
{
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (24 - 8 * i)) & 0xFF);
        text[static_cast<size_t>(i)] = c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

} // namespace

Host* setHost(Host* host)
{
    return gHost.exchange(host, std::memory_order_acq_rel);
}

std::string Notification::describe() const
{
    switch (kind) {
    case Kind::device:
        return std::string("device ") + (isInput ? "in " : "out ") + fourCC(selector);
    case Kind::stream:
        return "stream " + std::to_string(stream) + " " + fourCC(selector);
    case Kind::properties:
        return "object " + std::to_string(object) + " " + fourCC(scope) + " " + fourCC(selector);
    }
    return {};
}

NotificationRecorder::NotificationRecorder() : m_previous(setHost(this)) {}

NotificationRecorder::~NotificationRecorder()
{
    setHost(m_previous);
}

void NotificationRecorder::add(const Notification& notification)
{
    std::lock_guard lock(m_mutex);
    m_notifications.push_back(notification);
}

OSStatus NotificationRecorder::devicePropertyChanged(AudioHardwarePlugInRef, AudioDeviceID device, uint32_t,
                                                     bool isInput, AudioDevicePropertyID property)
{
    add({Notification::Kind::device, device, 0, isInput, property, 0});
    return kAudioHardwareNoError;
}

OSStatus NotificationRecorder::streamPropertyChanged(AudioHardwarePlugInRef, AudioDeviceID device,
                                                     AudioStreamID stream, uint32_t, AudioDevicePropertyID property)
{
    add({Notification::Kind::stream, device, stream, false, property, 0});
    return kAudioHardwareNoError;
}

OSStatus NotificationRecorder::propertiesChanged(AudioHardwarePlugInRef, AudioObjectID object,
                                                 const AudioObjectPropertyAddress* addresses, uint32_t count)
{
    for (uint32_t i = 0; addresses != nullptr && i < count; ++i) {
        add({Notification::Kind::properties, object, 0, false, addresses[i].mSelector, addresses[i].mScope});
    }
    return kAudioHardwareNoError;
}

std::vector<Notification> NotificationRecorder::notifications() const
{
    std::lock_guard lock(m_mutex);
    return m_notifications;
}

std::vector<std::string> NotificationRecorder::described() const
{
    std::vector<std::string> texts;
    for (const auto& n : notifications()) {
        texts.push_back(n.describe());
    }
    return texts;
}

size_t NotificationRecorder::count(AudioObjectPropertySelector selector) const
{
    std::lock_guard lock(m_mutex);
    size_t n = 0;
    for (const auto& notification : m_notifications) {
        n += notification.selector == selector ? 1 : 0;
    }
    return n;
}

void NotificationRecorder::clear()
{
    std::lock_guard lock(m_mutex);
    m_notifications.clear();
}

} // namespace platform::coreaudio

using platform::coreaudio::gHost;

OSStatus AudioHardwareDevicePropertyChanged(AudioHardwarePlugInRef inPlugIn, AudioDeviceID inDevice,
                                            uint32_t inChannel, Boolean isInput, AudioDevicePropertyID inPropertyID)
{
    auto* host = gHost.load(std::memory_order_acquire);
    return host != nullptr ? host->devicePropertyChanged(inPlugIn, inDevice, inChannel, isInput != 0, inPropertyID)
                           : platform::coreaudio::nobodyListens("AudioHardwareDevicePropertyChanged");
}

OSStatus AudioHardwareStreamPropertyChanged(AudioHardwarePlugInRef inPlugIn, AudioDeviceID inOwningDevice,
                                            AudioStreamID inStream, uint32_t inChannel,
                                            AudioDevicePropertyID inPropertyID)
{
    auto* host = gHost.load(std::memory_order_acquire);
    return host != nullptr ? host->streamPropertyChanged(inPlugIn, inOwningDevice, inStream, inChannel, inPropertyID)
                           : platform::coreaudio::nobodyListens("AudioHardwareStreamPropertyChanged");
}

OSStatus AudioObjectPropertiesChanged(AudioHardwarePlugInRef inPlugIn, AudioObjectID inObjectID,
                                      uint32_t inNumberAddresses, const AudioObjectPropertyAddress inAddresses[])
{
    auto* host = gHost.load(std::memory_order_acquire);
    return host != nullptr ? host->propertiesChanged(inPlugIn, inObjectID, inAddresses, inNumberAddresses)
                           : platform::coreaudio::nobodyListens("AudioObjectPropertiesChanged");
}

uint64_t AudioGetCurrentHostTime()
{
    return mach_absolute_time();
}
