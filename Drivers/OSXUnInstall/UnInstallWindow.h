// The uninstaller's interface file: its window, and the controller's outlets and actions in it.
#pragma once

#include "AppKit/AppKit.h"
#include "controller.h"

namespace uninstall {

// Title, the text shown first, and the buttons: Cancel, Uninstall.
NSWindowDescription windowDescription();

// Connects the controller's outlets to the window's text field and buttons, and the buttons to
// doCancel and doUninstall. The window outlives the connection.
void connect(controller& owner, NSWindow& window);

} // namespace uninstall
