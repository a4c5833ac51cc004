// The host side of the plug-in notification calls (CoreAudio/AudioHardwarePlugIn.h): the program
// that loaded a plug-in installs one Host per process, and every notification the plug-in sends
// reaches it. Tests install a NotificationRecorder, which keeps what arrived.
//
// Thread safety: setHost is for set-up (no notification may be on its way while the host
// changes); the handlers run on whichever thread sent the notification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "CoreAudio/AudioHardwarePlugIn.h"
#include "platform/HostClock.h"

namespace platform::coreaudio {

class Host
{
public:
    virtual ~Host() = default;
    virtual OSStatus devicePropertyChanged(AudioHardwarePlugInRef plugIn, AudioDeviceID device, uint32_t channel,
                                           bool isInput, AudioDevicePropertyID property) = 0;
    virtual OSStatus streamPropertyChanged(AudioHardwarePlugInRef plugIn, AudioDeviceID device,
                                           AudioStreamID stream, uint32_t channel,
                                           AudioDevicePropertyID property) = 0;
    virtual OSStatus propertiesChanged(AudioHardwarePlugInRef plugIn, AudioObjectID object,
                                       const AudioObjectPropertyAddress* addresses, uint32_t count) = 0;
};

// Installs `host` for the process (null: none); answers the one it replaces.
Host* setHost(Host* host);

// One notification as it arrived.
struct Notification
{
    enum class Kind
    {
        device,     // AudioHardwareDevicePropertyChanged
        stream,     // AudioHardwareStreamPropertyChanged
        properties, // AudioObjectPropertiesChanged, one entry per address
    };
    Kind kind;
    AudioObjectID object; // the device, or the object of a properties change
    AudioStreamID stream; // stream notifications only
    bool isInput;         // device notifications only
    AudioObjectPropertySelector selector;
    AudioObjectPropertyScope scope; // properties changes only

    // "device in ltnc", "stream 12 pft ", "object 10 glob QuNC": for test messages.
    std::string describe() const;
};

// A host that records every notification; installed while it lives.
class NotificationRecorder final : public Host
{
public:
    NotificationRecorder();
    ~NotificationRecorder() override;
    NotificationRecorder(const NotificationRecorder&) = delete;
    NotificationRecorder& operator=(const NotificationRecorder&) = delete;

    OSStatus devicePropertyChanged(AudioHardwarePlugInRef plugIn, AudioDeviceID device, uint32_t channel,
                                   bool isInput, AudioDevicePropertyID property) override;
    OSStatus streamPropertyChanged(AudioHardwarePlugInRef plugIn, AudioDeviceID device, AudioStreamID stream,
                                   uint32_t channel, AudioDevicePropertyID property) override;
    OSStatus propertiesChanged(AudioHardwarePlugInRef plugIn, AudioObjectID object,
                               const AudioObjectPropertyAddress* addresses, uint32_t count) override;

    std::vector<Notification> notifications() const;
    // The descriptions of every notification, in arrival order.
    std::vector<std::string> described() const;
    size_t count(AudioObjectPropertySelector selector) const;
    void clear();

private:
    void add(const Notification& notification);

    mutable std::mutex m_mutex;
    std::vector<Notification> m_notifications; // guarded by m_mutex
    Host* m_previous;
};

} // namespace platform::coreaudio
