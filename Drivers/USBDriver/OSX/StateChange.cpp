#include "StateChange.h"

#include "IOKit/IOService.h"

QZ_StateChange makeStateChange(uint32_t code, uint64_t clientID, uint32_t parameter1, uint32_t parameter2)
{
    QZ_StateChange record{};
    record.size = sizeof record;
    record.code = code;
    record.parameter1 = parameter1;
    record.clientID = clientID;
    record.parameter2 = parameter2;
    return record;
}

void setMixerModeProperty(IOService& service, uint32_t mode)
{
    service.setProperty("MixerMode", mode, 32);
}

void setMixerValuesProperties(IOService& service, uint16_t bitmap, uint16_t knob)
{
    service.setProperty("MixerValues", bitmap, 16);
    service.setProperty("MixerKnob", knob, 16);
}
