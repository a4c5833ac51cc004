// A device description's counts stay within its arrays, in every element, used or not.
#pragma once

#include "APIDeviceInfo.h"
#include "FuzzInput.h"

inline void checkDescriptionLimits(const APIConfigInfo& config)
{
    fuzzCheck(config.mNumInterfaces <= APIConfigInfo::kMaxInterfaces);
    for (const APIInterfaceInfo& interface : config.mInterfaces) {
        fuzzCheck(interface.mNumAlternates <= APIInterfaceInfo::kMaxAlternates);
        for (const APIInterfaceAlternateInfo& alternate : interface.mAlternates) {
            fuzzCheck(alternate.mNumEndpoints <= APIInterfaceAlternateInfo::kMaxEndpoints);
            fuzzCheck(alternate.mStreaming.mNumFrequencies <= APIStreamingInfo::kMaxFrequencies);
        }
    }
}

inline void checkDescriptionLimits(const APIDeviceInfo& info)
{
    fuzzCheck(info.mNumConfigurations <= APIDeviceInfo::kMaxConfigurations);
    for (const APIConfigInfo& config : info.mConfigurations) {
        checkDescriptionLimits(config);
    }
}
