// The Qt 6 window of an NSWindow: a label for the text field and a push button for each button,
// following the controls' changes and forwarding clicks. NSApplicationMain makes one; tests make
// one under their own QApplication (QT_QPA_PLATFORM=offscreen, or xcb on a display).
//
// Thread safety: the main (GUI) thread only.
#pragma once

#include <memory>
#include <string>

#include "AppKit/AppKit.h"

class QWidget;
class QLabel;
class QPushButton;

namespace platform::appkit {

class QtWindowView
{
public:
    explicit QtWindowView(NSWindow& window);
    ~QtWindowView();
    QtWindowView(const QtWindowView&) = delete;
    QtWindowView& operator=(const QtWindowView&) = delete;

    QWidget* widget() const;
    QLabel* textLabel() const;
    QPushButton* button(size_t index) const;

private:
    struct Impl;
    std::unique_ptr<Impl> mImpl;
};

// True when Qt has somewhere to show a window: a platform named in QT_QPA_PLATFORM, or an X or
// Wayland display. Otherwise false, with *why saying so.
bool haveDisplay(std::string* why);

} // namespace platform::appkit
