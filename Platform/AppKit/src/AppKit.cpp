#include "AppKit/AppKit.h"

#include <cstdarg>

#include "platform/Log.h"

NSWindow::NSWindow(const NSWindowDescription& description) : mTitle(description.title)
{
    mTextField.setStringValue(description.text);
    for (const auto& title : description.buttons) {
        mButtons.push_back(std::make_unique<NSButton>(title));
    }
}

void NSApplication::terminate()
{
    mTerminateRequested = true;
    if (mTerminateHandler) {
        mTerminateHandler();
    }
}

namespace {
NSApplication theApplication;
}

NSApplication* const NSApp = &theApplication;

void NSLog(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    platform::vsyslog(platform::log::kPriorityError, format, args);
    va_end(args);
}
