// A driver built as a kext library: it registers its class when loaded and publishes itself
// with the personality values it was given.
#include "IOKit/IOService.h"

class TestKextDriver : public IOService
{
    OSDeclareDefaultStructors(TestKextDriver);

public:
    bool start(IOService* provider) override
    {
        if (!IOService::start(provider)) {
            return false;
        }
        auto* specific = OSDynamicCast(OSDictionary, getProperty("QzSpecific"));
        auto* wait = specific != nullptr ? OSDynamicCast(OSNumber, specific->getObject("kMsWait")) : nullptr;
        setProperty("SeenMsWait", wait != nullptr ? wait->unsigned64BitValue() : 0, 32);
        registerService();
        return true;
    }
};

OSDefineMetaClassAndStructors(TestKextDriver, IOService);
