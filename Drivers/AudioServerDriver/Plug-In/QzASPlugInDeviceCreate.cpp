// The devices the plug-in object makes: their host is the plug-in's access to the audio server.
#include "QzASPlugInDevice.h"
#include "QzASPlugInObjectMap.h"
#include "QzASPlugInPlugIn.h"

namespace {

// The plug-in's host access, for devices the plug-in makes.
class PlugInHost : public QzASDeviceHost, public QzASHostStorage
{
public:
    void PropertiesChanged(AudioObjectID objectID, UInt32 count, const AudioObjectPropertyAddress* addresses) override
    {
        QzASPlugInPlugIn::Host_PropertiesChanged(objectID, count, addresses);
    }
    void RequestDeviceConfigurationChange(AudioObjectID deviceID, UInt64 action, void* changeInfo) override
    {
        QzASPlugInPlugIn::Host_RequestDeviceConfigurationChange(deviceID, action, changeInfo);
    }
    QzASHostStorage* Storage() override { return this; }
    bool WithdrawDevice(QzASPlugInDevice* device) override
    {
        QzASPlugInPlugIn* plugIn = QzASPlugInPlugIn::GetInstance();
        if (plugIn == nullptr) {
            return false;
        }
        plugIn->RemoveDevice(device);
        device->Deactivate();
        QzASPlugInObjectMap::ReleaseObject(device);
        return true;
    }
    OSStatus CopyFromStorage(CFStringRef key, CFPropertyListRef* value) override
    {
        return QzASPlugInPlugIn::CopyFromStorage(key, value);
    }
    OSStatus WriteToStorage(CFStringRef key, CFPropertyListRef value) override
    {
        return QzASPlugInPlugIn::WriteToStorage(key, value);
    }
};

PlugInHost& plugInHost()
{
    static PlugInHost host;
    return host;
}

} // namespace

QzASPlugInDeviceBase* QzASPlugInDeviceBase::Create(AudioObjectID objectID, io_object_t service)
{
    return new QzASPlugInDevice(objectID, service, &plugInHost());
}

void QzASPlugInDeviceBase::DiscardConfigChange(void* changeInfo)
{
    delete static_cast<QzASConfigChange*>(changeInfo);
}
