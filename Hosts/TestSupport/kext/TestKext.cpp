// A driver built as a kext library: it registers its class when loaded and publishes itself
// with the personality values it was given. Its start uses a kernel semaphore and a sleep, so
// the kernel host must export the Mach stand-in to it as well.
#include "IOKit/IOLib.h"
#include "IOKit/IOService.h"
#include "mach/semaphore.h"

class TestKextDriver : public IOService
{
    OSDeclareDefaultStructors(TestKextDriver);

public:
    bool start(IOService* provider) override
    {
        if (!IOService::start(provider)) {
            return false;
        }
        semaphore_t handshake = 0;
        if (semaphore_create(current_task(), &handshake, SYNC_POLICY_FIFO, 1) != KERN_SUCCESS ||
            semaphore_wait(handshake) != KERN_SUCCESS) {
            return false;
        }
        semaphore_destroy(current_task(), handshake);
        IOSleep(1);
        auto* specific = OSDynamicCast(OSDictionary, getProperty("QzSpecific"));
        auto* wait = specific != nullptr ? OSDynamicCast(OSNumber, specific->getObject("kMsWait")) : nullptr;
        setProperty("SeenMsWait", wait != nullptr ? wait->unsigned64BitValue() : 0, 32);
        registerService();
        return true;
    }
};

OSDefineMetaClassAndStructors(TestKextDriver, IOService);
