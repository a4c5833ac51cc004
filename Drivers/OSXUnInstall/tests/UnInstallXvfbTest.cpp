// The uninstaller's window on a real X server (Xvfb, started here): shown, exposed, clicked, and
// the installation removed. Without Xvfb the test is skipped, except in CI (CI is set), where
// scripts/install-deps installs it.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "InstalledItems.h"
#include "InstalledTree.h"
#include "UnInstallWindow.h"
#include "controller.h"
#include "platform/AppKitQt.h"

extern char** environ;

namespace {

constexpr const char* kXvfb = "/usr/bin/Xvfb";

// An X server of our own on a free display, ended with the object.
class Xvfb
{
public:
    Xvfb()
    {
        int fds[2];
        if (pipe(fds) != 0) {
            return;
        }
        const std::string fd = std::to_string(fds[1]);
        const char* argv[] = {kXvfb,     "-displayfd", fd.c_str(),   "-nolisten", "tcp",
                              "-screen", "0",          "800x600x24", nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&mPid, kXvfb, &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            mPid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        // The server writes its display number once it accepts connections.
        std::string number;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (mPid > 0 && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fds[0], POLLIN, 0};
            if (poll(&p, 1, 200) <= 0) {
                continue;
            }
            char c = 0;
            if (read(fds[0], &c, 1) != 1 || c == '\n') {
                break;
            }
            number += c;
        }
        close(fds[0]);
        if (!number.empty()) {
            mDisplay = ":" + number;
        }
    }
    ~Xvfb()
    {
        if (mPid > 0) {
            kill(mPid, SIGTERM);
            int status = 0;
            while (waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    const std::string& display() const { return mDisplay; }

private:
    pid_t mPid = -1;
    std::string mDisplay;
};

TEST(UnInstallXvfbTest, TheWindowOnARealDisplayRemovesTheInstallation)
{
    if (access(kXvfb, X_OK) != 0) {
        if (std::getenv("CI") != nullptr) {
            FAIL() << kXvfb << " is missing: scripts/install-deps installs it";
        }
        GTEST_SKIP() << kXvfb
                     << " is missing (scripts/install-deps installs xvfb): the real-window test is skipped";
    }
    Xvfb server;
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server.display().c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    uninstall_test::InstalledTree tree;
    ASSERT_EQ(tree.install().status, 0);
    tree.completeInstallation();
    {
        int argc = 1;
        char name[] = "UnInstallXvfbTests";
        char* argv[] = {name, nullptr};
        QApplication application(argc, argv);
        ASSERT_EQ(QGuiApplication::platformName().toStdString(), "xcb");

        NSWindow window(uninstall::windowDescription());
        controller owner;
        uninstall::connect(owner, window);
        platform::appkit::QtWindowView view(window);
        view.widget()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.widget(), 10'000));

        QTest::mouseClick(view.button(1), Qt::LeftButton);
        EXPECT_EQ(view.textLabel()->text().toStdString(),
                  "The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.");
        EXPECT_FALSE(view.button(1)->isEnabled());
    }
    for (const auto& path : uninstall_test::InstalledTree::installationPaths()) {
        EXPECT_FALSE(tree.present(path)) << path;
    }
}

} // namespace
