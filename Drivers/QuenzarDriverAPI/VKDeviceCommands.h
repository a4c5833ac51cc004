// The device command set: every setting, query and maintenance action on a device that is not an
// audio request travels as one 260-byte record, QZ_Dispatch (a u32 command code and a 256-byte
// body), which VKDevice::dispatchFunction answers in place. Word n of the record is the u32 at
// byte 4n (word 1 is the first u32 of the body).
//
// Trust: the record comes from a user process; every index, length and count in it is checked
// against what it indexes before use.
//
// Thread safety: a plain record; the dispatcher runs under the device's dispatch lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct QZ_Dispatch
{
    static constexpr uint32_t kBodySize = 256;
    static constexpr uint32_t kWords = 65; // word 0 is the code

    uint32_t uCommand;
    uint8_t body[kBodySize];

    // Word n (n from 1 to 64), 0 outside the record.
    uint32_t word(uint32_t n) const
    {
        uint32_t value = 0;
        if (n >= 1 && n < kWords) {
            std::memcpy(&value, body + 4 * (n - 1), sizeof value);
        }
        return value;
    }
    void setWord(uint32_t n, uint32_t value)
    {
        if (n >= 1 && n < kWords) {
            std::memcpy(body + 4 * (n - 1), &value, sizeof value);
        }
    }
    // The u16 at record byte `offset` (4 to 258).
    uint16_t half(uint32_t offset) const
    {
        uint16_t value = 0;
        if (offset >= 4 && offset + 2 <= 4 + kBodySize) {
            std::memcpy(&value, body + offset - 4, sizeof value);
        }
        return value;
    }
    void setHalf(uint32_t offset, uint16_t value)
    {
        if (offset >= 4 && offset + 2 <= 4 + kBodySize) {
            std::memcpy(body + offset - 4, &value, sizeof value);
        }
    }
};
static_assert(sizeof(QZ_Dispatch) == 260);
static_assert(offsetof(QZ_Dispatch, body) == 4);

// Command 34's body: a control request.
struct QZ_DeviceRequestBody
{
    static constexpr uint32_t kDataSize = 128;
    uint8_t data[kDataSize]; // sent for OUT, filled for IN
    uint32_t length;         // reply of an IN request: the bytes received
    uint32_t valueIndex;     // wValue in bits 0-15, wIndex in bits 16-31
    uint32_t direction;      // 0 host to device, 128 device to host
    uint32_t type;           // 0 standard, 32 class, 64 vendor
    uint32_t recipient;      // 0 device, 1 interface, 2 endpoint, 3 other
    uint8_t bRequest;
};
static_assert(offsetof(QZ_DeviceRequestBody, length) + 4 == 132);
static_assert(offsetof(QZ_DeviceRequestBody, bRequest) + 4 == 152);
static_assert(sizeof(QZ_DeviceRequestBody) <= QZ_Dispatch::kBodySize);

// Command codes (0 to 78); codes without a name have no entry or an unnamed one.
enum EQZ_Command : uint32_t
{
    EQZ_GetDigitalOutSelector = 2,
    EQZ_SetDigitalOutSelector = 3,
    EQZ_GetEsuCpldByte = 4,
    EQZ_SetEsuCpldByte = 5,
    EQZ_GetCurrentConfig = 8,
    EQZ_SetCurrentConfig = 9,
    EQZ_GetDeviceFlag = 14,
    EQZ_GetClockSource = 15,
    EQZ_SetClockSource = 16,
    EQZ_GetDigitalStatus = 17,
    EQZ_GetProductName = 18,
    EQZ_GetDisplayName = 19,
    EQZ_GetIsUSB2Device = 20,
    EQZ_GetDeviceDescriptor = 21,
    EQZ_GetDriverVersion = 22,
    EQZ_GetFirmwareVersion = 23,
    EQZ_GetFirmwareVersionString = 24,
    EQZ_GetUSB1Mode = 25,
    EQZ_SetUSB1Mode = 26,
    EQZ_GetDigitalOutMode = 27,
    EQZ_SetDigitalOutMode = 28,
    EQZ_GetInputsExclusive = 29,
    EQZ_SetInputsExclusive = 30,
    EQZ_GetOutputsExclusive = 31,
    EQZ_SetOutputsExclusive = 32,
    EQZ_EnterFirmwareUpdateMode = 33,
    EQZ_DeviceRequest = 34,
    EQZ_ReadLevelInfo = 35,
    EQZ_SendCPortData = 36,
    EQZ_ResumeStreaming = 37,
    EQZ_SuspendStreaming = 38,
    EQZ_GetRouting = 39,
    EQZ_SetRouting = 40,
    EQZ_GetWMCodecValues = 41,
    EQZ_SetWMCodecValues = 42,
    EQZ_GetHogID = 43,
    EQZ_SetHogID = 44,
    EQZ_GetRequestStatus = 45,
    EQZ_Get_Registers = 48,
    EQZ_ReadControlEvents = 49,
    EQZ_GetDriverVersionString = 63,
    EQZ_Get_ElektronChannelMap = 65,
    EQZ_Set_ElektronChannelMap = 66,
    EQZ_Get_ElektronDeviceUID = 67,
    EQZ_Set_Elektron_ConfigAndChannelMap = 68,
    EQZ_Get_Elektron_ConfigAndChannelMap = 69,
    EQZ_Get_ElektronDeviceName = 70,
    EQZ_Set_ElektronDeviceName = 71,
    EQZ_ReadInputMaxima = 72,
    EQZ_Set_ElektronSystemAudioDevice = 73,
    EQZ_ReEnumerateDevice = 76,
    EQZ_GetPrivateDataClient = 77,
    EQZ_SetPrivateDataClient = 78,
    EQZ_LastCommand = 78,
};

// The driver's version as command 22 and command 63 give it.
constexpr uint32_t kVKDriverVersion = 0x03030B00;
constexpr const char* kVKDriverVersionString = "v3.3.11";

// The Wolfson codec register table of commands 41 and 42: 4 codecs of 22 registers, 9-bit values.
constexpr uint32_t kVKWolfsonCodecs = 4;
constexpr uint32_t kVKWolfsonRegisters = 22;
constexpr uint16_t kVKWolfsonValueMask = 0x1FF;
// writeWolfsonRegister's answer when the device may not be disturbed while it streams.
constexpr uint32_t kVKRequestRefused = 0xFFFFFFFF;
