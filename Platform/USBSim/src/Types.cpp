#include "usbsim/Types.h"

namespace usbsim {

const char* statusName(Status status)
{
    switch (status) {
    case kSuccess:
        return "success";
    case kError:
        return "error";
    case kNoMemory:
        return "no memory";
    case kNoResources:
        return "no resources";
    case kNoDevice:
        return "no device";
    case kBadArgument:
        return "bad argument";
    case kExclusiveAccess:
        return "exclusive access";
    case kUnsupported:
        return "unsupported";
    case kNotOpen:
        return "not open";
    case kBusy:
        return "busy";
    case kUnderrun:
        return "underrun";
    case kOverrun:
        return "overrun";
    case kDeviceError:
        return "device error";
    case kAborted:
        return "aborted";
    case kNoBandwidth:
        return "no bandwidth";
    case kNotResponding:
        return "not responding";
    case kIsoTooOld:
        return "isochronous frame too old";
    case kIsoTooNew:
        return "isochronous frame too new";
    case kPipeStalled:
        return "pipe stalled";
    case kTransactionTimeout:
        return "transaction time-out";
    default:
        return "unknown status";
    }
}

} // namespace usbsim
