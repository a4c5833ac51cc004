// The value layer, property lists, preferences, bundles and plug-ins, and the run loop.
#pragma once

#include "CoreFoundation/CFArray.h"
#include "CoreFoundation/CFBase.h"
#include "CoreFoundation/CFBundle.h"
#include "CoreFoundation/CFData.h"
#include "CoreFoundation/CFDictionary.h"
#include "CoreFoundation/CFNumber.h"
#include "CoreFoundation/CFPlugIn.h"
#include "CoreFoundation/CFPlugInCOM.h"
#include "CoreFoundation/CFPreferences.h"
#include "CoreFoundation/CFPropertyList.h"
#include "CoreFoundation/CFRunLoop.h"
#include "CoreFoundation/CFString.h"
#include "CoreFoundation/CFURL.h"
#include "CoreFoundation/CFUUID.h"
