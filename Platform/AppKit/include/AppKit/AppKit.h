// AppKit, as much as a one-window program uses: a window with one text field and buttons, the
// application that shows it (on Qt 6 Widgets) and the log.
//
// The window's controls are plain objects the program's code changes; a view (the Qt window, or
// a printer on standard output for a program run without a window) follows every change.
//
// Thread safety: everything here belongs to the main thread, except NSLog (any thread).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A control's view: told of every change of the control it watches.
class NSControlView
{
public:
    virtual void controlChanged() = 0;

protected:
    ~NSControlView() = default;
};

class NSControl
{
public:
    NSControl() = default;
    NSControl(const NSControl&) = delete;
    NSControl& operator=(const NSControl&) = delete;

    void setView(NSControlView* view) { mView = view; }

protected:
    void changed()
    {
        if (mView != nullptr) {
            mView->controlChanged();
        }
    }

private:
    NSControlView* mView = nullptr;
};

class NSTextField : public NSControl
{
public:
    const std::string& stringValue() const { return mValue; }
    void setStringValue(const std::string& value)
    {
        mValue = value;
        changed();
    }

private:
    std::string mValue;
};

class NSButton : public NSControl
{
public:
    explicit NSButton(std::string title) : mTitle(std::move(title)) {}

    const std::string& title() const { return mTitle; }
    bool isEnabled() const { return mEnabled; }
    void setEnabled(bool enabled)
    {
        mEnabled = enabled;
        changed();
    }
    // The target and action the interface file connects.
    void setAction(std::function<void()> action) { mAction = std::move(action); }
    // What a click does: the action, when the button is enabled.
    void performClick()
    {
        if (mEnabled && mAction) {
            mAction();
        }
    }

private:
    std::string mTitle;
    bool mEnabled = true;
    std::function<void()> mAction;
};

// What an interface file says of the one window: its title, the text shown first, the buttons
// from left to right.
struct NSWindowDescription
{
    std::string title;
    std::string text;
    std::vector<std::string> buttons;
};

class NSWindow
{
public:
    explicit NSWindow(const NSWindowDescription& description);
    NSWindow(const NSWindow&) = delete;
    NSWindow& operator=(const NSWindow&) = delete;

    const std::string& title() const { return mTitle; }
    NSTextField& textField() { return mTextField; }
    size_t buttonCount() const { return mButtons.size(); }
    NSButton& button(size_t index) { return *mButtons.at(index); }

private:
    std::string mTitle;
    NSTextField mTextField;
    std::vector<std::unique_ptr<NSButton>> mButtons;
};

class NSApplication
{
public:
    // Ends the event loop NSApplicationMain runs (and so the program); remembered when no loop runs.
    void terminate();
    bool terminateRequested() const { return mTerminateRequested; }
    void setTerminateHandler(std::function<void()> handler) { mTerminateHandler = std::move(handler); }

private:
    bool mTerminateRequested = false;
    std::function<void()> mTerminateHandler;
};

// The program's application object.
extern NSApplication* const NSApp;

// Shows `window` and runs the event loop until terminate or the window is closed; returns the
// program's exit status. Needs a display: 2 with a message on standard error when there is none.
int NSApplicationMain(int argc, char** argv, NSWindow& window);

// A line to the system log (error priority) and standard error.
void NSLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
