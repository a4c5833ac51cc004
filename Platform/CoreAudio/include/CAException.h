// The one failure the audio-server plug-in's code raises: an OSStatus to hand back to the host.
#pragma once

#include <exception>

#include "CoreFoundation/CFBase.h"

class CAException : public std::exception
{
public:
    explicit CAException(OSStatus error) noexcept : mError(error) {}

    OSStatus GetError() const noexcept { return mError; }
    const char* what() const noexcept override { return "CAException"; }

private:
    OSStatus mError;
};

// Raises `error` when `condition` is false.
inline void ThrowIf(bool condition, OSStatus error)
{
    if (condition) {
        throw CAException(error);
    }
}
