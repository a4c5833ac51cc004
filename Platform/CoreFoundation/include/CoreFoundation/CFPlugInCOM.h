// The minimal component-object interface every plug-in interface starts with.
#pragma once

#include "CoreFoundation/CFUUID.h"

using HRESULT = SInt32;
using ULONG = UInt32;
using LPVOID = void*;
using REFIID = CFUUIDBytes;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80000004);

// The interface table's first entries, in slot order, after one reserved pointer.
#define IUNKNOWN_C_GUTS                                                                                      \
    void* _reserved;                                                                                         \
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);                                   \
    ULONG (*AddRef)(void* thisPointer);                                                                      \
    ULONG (*Release)(void* thisPointer)

struct IUnknownVTbl
{
    IUNKNOWN_C_GUTS;
};

// 00000000-0000-0000-C000-000000000046
#define IUnknownUUID                                                                                         \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00,      \
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
