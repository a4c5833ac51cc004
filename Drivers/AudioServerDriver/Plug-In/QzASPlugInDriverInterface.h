// The plug-in's entry: the factory the audio server finds through the bundle's information list,
// and the driver reference it hands out (the one static interface table of 22 operations).
#pragma once

#include "CoreAudio/AudioServerPlugIn.h"

// 5C6A1B58-3E2F-4D8A-9C41-7B0E2D9F6A13: the factory registered in sonvexa.driver's Info.plist.
#define kQzASPlugInFactoryUUID "5C6A1B58-3E2F-4D8A-9C41-7B0E2D9F6A13"

// The bundle identifier of the DJ application the devices refuse as a client.
#define kQzASPlugInRefusedClientBundleID "com.serato.itch"

extern "C" void* QzASPlugInCreate(CFAllocatorRef allocator, CFUUIDRef requestedTypeUUID);

// The driver reference, for tests that call the table directly.
AudioServerPlugInDriverRef QzASPlugInDriverRef();
// The interface's reference count.
UInt32 QzASPlugInDriverRefCount();
