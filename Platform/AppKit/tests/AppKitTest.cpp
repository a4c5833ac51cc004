// The Qt window of an NSWindow follows its controls and forwards clicks (offscreen platform).
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <cstdlib>
#include <gtest/gtest.h>

#include "AppKit/AppKit.h"
#include "QtTestApplication.h"
#include "platform/AppKitQt.h"
#include "platform/Log.h"

namespace {

QApplication& application()
{
    return appkit_test::QtTestApplication::get();
}

TEST(AppKitWindowTest, TheWindowFollowsItsControlsAndForwardsClicks)
{
    application();
    NSWindow window({"Title", "first text", {"Left", "Right"}});
    int rightClicks = 0;
    window.button(1).setAction([&] {
        ++rightClicks;
        window.textField().setStringValue("clicked\ntwice over");
        window.button(1).setEnabled(false);
    });
    platform::appkit::QtWindowView view(window);
    view.widget()->show();
    EXPECT_EQ(view.widget()->windowTitle().toStdString(), "Title");
    EXPECT_EQ(view.textLabel()->text().toStdString(), "first text");
    EXPECT_EQ(view.button(0)->text().toStdString(), "Left");
    EXPECT_TRUE(view.button(1)->isDefault());

    view.button(1)->click();
    EXPECT_EQ(rightClicks, 1);
    EXPECT_EQ(view.textLabel()->text().toStdString(), "clicked\ntwice over");
    EXPECT_FALSE(view.button(1)->isEnabled());
    view.button(1)->click(); // a disabled button does nothing
    EXPECT_EQ(rightClicks, 1);

    // A button without an action does nothing either.
    view.button(0)->click();
}

TEST(AppKitWindowTest, TerminateEndsTheEventLoop)
{
    QApplication& app = application();
    NSWindow window({"Title", "", {"Quit"}});
    window.button(0).setAction([] { NSApp->terminate(); });
    platform::appkit::QtWindowView view(window);
    NSApp->setTerminateHandler([] { QCoreApplication::quit(); });
    view.widget()->show();
    QMetaObject::invokeMethod(
        view.button(0), [&] { view.button(0)->click(); }, Qt::QueuedConnection);
    EXPECT_EQ(app.exec(), 0); // returns only because the click terminated it
    EXPECT_TRUE(NSApp->terminateRequested());
    NSApp->setTerminateHandler({});
}

TEST(AppKitWindowTest, NSLogWritesToTheSystemLog)
{
    platform::log::Capture capture(platform::log::Channel::system);
    NSLog("Failed to remove %s\n", "HAL");
    platform::log::flush();
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0].priority, platform::log::kPriorityError);
    EXPECT_EQ(capture.texts()[0], "Failed to remove HAL");
}

} // namespace
