#include "USBMidiDevice.h"

#include <cstring>

#include "DriverSM.h"
#include "MidiRings.h"
#include "VKIOTrace.h"
#include "IOKit/IOLib.h"

USBMidiPattern::USBMidiPattern()
{
    init(false);
    initForBulk(44'100);
}

void USBMidiPattern::init(bool)
{
    mPosition = 0;
    // 4 at 0, 8, ..., 240 and 3 elsewhere: 799 bytes a turn, 3,121 a second at one packet a
    // millisecond, just below the MIDI wire's 3,125.
    for (uint32_t i = 0; i < kFrameEntries; ++i) {
        mFrame[i] = i % 8 == 0 && i <= 240 ? 4 : 3;
    }
}

void USBMidiPattern::initNS7()
{
    mPosition = 0;
    for (uint32_t& entry : mFrame) {
        entry = kNS7Bytes;
    }
}

void USBMidiPattern::initForBulk(uint32_t rate)
{
    std::memset(mBulk, 0, sizeof(mBulk));
    mBulkLength = 0;
    const uint64_t perMillisecond = uint64_t(rate / 4) * 1000;
    if (perMillisecond >= 6'250'000) {
        const int64_t step = int64_t(perMillisecond / 6250);
        int64_t accumulator = 1000;
        while (mBulkLength < kBulkEntries) {
            if (accumulator > 0) {
                mBulk[mBulkLength++] = 1;
                accumulator -= step;
            } else {
                mBulk[mBulkLength++] = 0;
            }
            accumulator += 1000;
            if (accumulator == 0) {
                if (mBulkLength < kBulkEntries) {
                    mBulk[mBulkLength++] = 0;
                }
                break;
            }
        }
    }
    checkBulkRate1K();
}

uint32_t USBMidiPattern::checkBulkRate1K()
{
    mBulkPosition = 0;
    uint32_t ones = 0;
    for (uint32_t i = 0; i < mBulkLength; ++i) {
        ones += mBulk[i];
    }
    return ones == 0 ? 0 : mBulkLength * 1000 / ones;
}

uint32_t USBMidiPattern::nextBulk()
{
    if (mBulkLength == 0) {
        return 0;
    }
    if (mBulkPosition >= mBulkLength) {
        mBulkPosition = 0;
    }
    return mBulk[mBulkPosition++];
}

void copyMidiIdentity(MidiSM& area, const DriverSM& sm)
{
    area.mVendorID = sm.devDesc.idVendor;
    area.mProductID = sm.devDesc.idProduct;
    // The names are copied whole and always end inside the area's fields.
    static_assert(sizeof(sm.szProduct) == MidiSM::kNameSize && sizeof(sm.szDeviceUID) == MidiSM::kNameSize);
    std::memcpy(area.mProductName, sm.szProduct, MidiSM::kNameSize);
    std::memcpy(area.mVendorName, sm.szManufacturer, MidiSM::kNameSize);
    std::memcpy(area.mUID, sm.szDeviceUID, MidiSM::kNameSize);
    area.mProductName[MidiSM::kNameSize - 1] = '\0';
    area.mVendorName[MidiSM::kNameSize - 1] = '\0';
    area.mUID[MidiSM::kNameSize - 1] = '\0';
}

bool USBMidiDevice::init(bool highSpeed, const DriverSM& sm)
{
    mHighSpeed = highSpeed ? 1 : 0;
    if (!mcArea.init(sizeof(MidiSM))) {
        IOLog("USBMidiDevice init: could not allocate Shared memory\n");
        return false;
    }
    mpArea = static_cast<MidiSM*>(mcArea.address());
    copyMidiIdentity(*mpArea, sm);
    IOLog("USBMidiDevice [MIDI] vendor=%04X product=%04X UID=%s\n", static_cast<unsigned>(mpArea->mVendorID),
          static_cast<unsigned>(mpArea->mProductID), mpArea->mUID);
    mPattern.init(false);
    return true;
}

void USBMidiDevice::start()
{
    VKIOTrace trace("USBMidiDevice::start", 0);
    if (mStarted != 0) {
        trace.trace("already started");
        return;
    }
    if (mpArea == nullptr) {
        trace.trace("no shared memory");
        return;
    }
    mRunning = 1;
    mStarted = 1;
    trace.trace("Midi: no pipes");
}

void USBMidiDevice::stop()
{
    if (mStarted != 0) {
        mStarted = 0;
    }
}

void USBMidiDevice::term()
{
    mpArea = nullptr;
    mcArea.term(true);
}

void USBMidiDevice::release()
{
    if (--mRefCount == 0) {
        delete this;
    }
}
