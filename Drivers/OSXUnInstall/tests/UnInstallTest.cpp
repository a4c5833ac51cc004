// The uninstaller in its window (Qt, offscreen) on a real installed tree in a private root: what
// it removes, what it leaves, its texts, its counting of stages, refused and cancelled
// authorizations, failing tools, and the paths it refuses.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "InstalledItems.h"
#include "InstalledTree.h"
#include "UnInstallWindow.h"
#include "controller.h"
#include "QtTestApplication.h"
#include "platform/AppKitQt.h"
#include "platform/AuthorizationControl.h"
#include "platform/Log.h"
#include "platform/ReceiptStore.h"

namespace {

namespace fs = std::filesystem;
using platform::security::AuthorizationMode;
using platform::security::CommandRecorder;
using platform::security::ScopedAuthorizationMode;
using uninstall_test::InstalledTree;

constexpr const char* kRemovedText =
    "The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.";
constexpr const char* kNotRemovedText = "The driver has NOT\nbeen removed.";

// The system log's lines of these messages (a message's line ends split it).
std::vector<std::string> linesOf(const std::vector<std::string>& messages)
{
    std::vector<std::string> lines;
    for (const auto& message : messages) {
        size_t start = 0;
        for (size_t end; (end = message.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(message.substr(start, end - start));
        }
        if (start < message.size()) {
            lines.push_back(message.substr(start));
        }
    }
    return lines;
}

QApplication& application()
{
    return appkit_test::QtTestApplication::get();
}

// The uninstaller's window as the program shows it, clicked through its Qt buttons.
struct UninstallerWindow
{
    UninstallerWindow()
    {
        application();
        uninstall::connect(owner, window);
        view = std::make_unique<platform::appkit::QtWindowView>(window);
        view->widget()->show();
    }
    void clickUninstall() { view->button(1)->click(); }
    std::string text() const { return view->textLabel()->text().toStdString(); }
    bool uninstallEnabled() const { return view->button(1)->isEnabled(); }

    NSWindow window{uninstall::windowDescription()};
    controller owner;
    std::unique_ptr<platform::appkit::QtWindowView> view;
};

class UnInstallTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tree.root().empty());
        const auto result = tree.install();
        ASSERT_EQ(result.status, 0) << result.out << result.err;
        ASSERT_TRUE(tree.present(uninstall::kLibraryKext.itemPath)) << result.out;
    }

    std::vector<std::string> logLines()
    {
        platform::log::flush();
        return log.texts();
    }

    void expectInstallationGone()
    {
        for (const auto& path : InstalledTree::installationPaths()) {
            EXPECT_FALSE(tree.present(path)) << path;
        }
    }
    void expectNeighboursKept()
    {
        for (const auto& path : tree.neighbours()) {
            EXPECT_TRUE(tree.present(path)) << path;
        }
        EXPECT_TRUE(fs::is_directory(tree.rooted(uninstall::kExtensionsFolder)));
    }

    InstalledTree tree;
    platform::log::Capture log{platform::log::Channel::system};
};

TEST_F(UnInstallTest, EverythingInstalledIsRemovedAndNothingElse)
{
    tree.completeInstallation();
    tree.addNeighbours();
    for (const auto& path : InstalledTree::installationPaths()) {
        ASSERT_TRUE(tree.present(path)) << path;
    }
    CommandRecorder recorder;
    UninstallerWindow uninstaller;
    EXPECT_EQ(uninstaller.text(), uninstall::windowDescription().text);

    uninstaller.clickUninstall();

    expectInstallationGone();
    expectNeighboursKept();
    EXPECT_EQ(uninstaller.text(), kRemovedText);
    EXPECT_FALSE(uninstaller.uninstallEnabled());
    EXPECT_TRUE(uninstaller.view->button(0)->isEnabled());
    EXPECT_TRUE(logLines().empty()) << logLines().front();
    EXPECT_EQ(uninstaller.owner.authorizationRef, nullptr); // freed

    // Every tool ran directly (no shell) on paths under the root.
    for (const auto& command : recorder.commands()) {
        EXPECT_TRUE(command.tool == "/bin/rm" || command.tool == "/usr/sbin/pkgutil" ||
                    command.tool == "/usr/bin/touch")
            << command.tool;
        for (const auto& argument : command.arguments) {
            if (argument.starts_with("/")) {
                EXPECT_TRUE(argument.starts_with(tree.root() + "/")) << argument;
                EXPECT_NE(argument, tree.root() + "/Applications/");
                EXPECT_NE(argument, tree.root() + "/Applications");
            }
        }
    }
}

TEST_F(UnInstallTest, NothingInstalledRunsThroughAndEndsRemoved)
{
    // Not even this build's extension is there.
    fs::remove_all(tree.root() + "/Library");
    fs::remove_all(tree.root() + "/var");
    CommandRecorder recorder;
    UninstallerWindow uninstaller;
    uninstaller.clickUninstall();

    EXPECT_EQ(uninstaller.text(), kRemovedText);
    EXPECT_FALSE(uninstaller.uninstallEnabled());
    EXPECT_TRUE(logLines().empty());
    // Nothing was there to remove or forget; the receipt files' "rm -f" runs all the same.
    ASSERT_EQ(recorder.commands().size(), 1u);
    EXPECT_EQ(recorder.commands()[0].tool, "/bin/rm");
    EXPECT_EQ(recorder.commands()[0].arguments.front(), "-f");
}

TEST_F(UnInstallTest, TheReceiptCommandGetsForceAndTheEightFilesInOrder)
{
    tree.completeInstallation();
    CommandRecorder recorder;
    UninstallerWindow uninstaller;
    uninstaller.clickUninstall();

    const auto commands = recorder.commands();
    ASSERT_FALSE(commands.empty());
    const auto& last = commands.back();
    EXPECT_EQ(last.tool, "/bin/rm");
    const std::vector<std::string> expected = {
        "-f",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.control.bom",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.control.plist",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.driver.bom",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.driver.plist",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.midi.plugin.bom",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.midi.plugin.plist",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.plugin.bom",
        tree.root() + "/var/db/receipts/com.quenzar.pkg.sonvexa.plugin.plist",
    };
    EXPECT_EQ(last.arguments, expected);

    // The receipts are forgotten through pkgutil, each by its identifier.
    std::vector<std::string> forgotten;
    for (const auto& command : commands) {
        if (command.tool == "/usr/sbin/pkgutil") {
            ASSERT_EQ(command.arguments.size(), 3u);
            EXPECT_EQ(command.arguments[0], "-f");
            EXPECT_EQ(command.arguments[1], "--forget");
            forgotten.push_back(command.arguments[2]);
        }
    }
    EXPECT_EQ(forgotten, (std::vector<std::string>{
                             "com.quenzar.pkg.VKSonvexadriver", "com.quenzar.pkg.sonvexahalplugin",
                             "com.quenzar.pkg.sonvexaplugin", "com.quenzar.pkg.SonvexaControlAppcontrol"}));
}

TEST_F(UnInstallTest, AnAuthorizationThatCannotBeCreatedRemovesNothing)
{
    tree.completeInstallation();
    ScopedAuthorizationMode refuse(AuthorizationMode::refuse);
    CommandRecorder recorder;
    UninstallerWindow uninstaller;
    testing::internal::CaptureStderr();
    uninstaller.clickUninstall();
    const std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(uninstaller.text(), "Failed to create the\nauthorization reference.");
    EXPECT_NE(err.find("Failed to create the\nauthref: -60008.\n"), std::string::npos) << err;
    EXPECT_TRUE(uninstaller.uninstallEnabled());
    EXPECT_TRUE(recorder.commands().empty());
    for (const auto& path : InstalledTree::installationPaths()) {
        EXPECT_TRUE(tree.present(path)) << path;
    }
}

TEST_F(UnInstallTest, CancelledInTheFirstStageRemovesNothingAndASecondRunWorks)
{
    tree.completeInstallation();
    UninstallerWindow uninstaller;
    {
        ScopedAuthorizationMode cancel(AuthorizationMode::cancel);
        CommandRecorder recorder;
        uninstaller.clickUninstall();
        EXPECT_EQ(recorder.commands().size(), 1u); // the first command, then nothing more
    }
    EXPECT_EQ(uninstaller.text(), kNotRemovedText);
    EXPECT_TRUE(uninstaller.uninstallEnabled());
    EXPECT_EQ(logLines(), linesOf({"\nError removing the\ndriver -60006", "Failed to remove driver\n"}));
    for (const auto& path : InstalledTree::installationPaths()) {
        EXPECT_TRUE(tree.present(path)) << path;
    }

    log.clear();
    uninstaller.clickUninstall();
    EXPECT_EQ(uninstaller.text(), kRemovedText);
    EXPECT_FALSE(uninstaller.uninstallEnabled());
    expectInstallationGone();
    EXPECT_TRUE(logLines().empty());
}

// A receipt whose bill of materials is a folder with something in it cannot be forgotten by
// anyone: pkgutil fails with status 1.
void makeReceiptStuck(const InstalledTree& tree, const uninstall::InstalledItem& item)
{
    const std::string bom = tree.rooted(std::string(platform::security::receipts::kReceiptsFolder) + "/" +
                                        uninstall::receiptIdentifier(item.itemPath, item.kindWord) + ".bom");
    fs::remove(bom);
    fs::create_directories(bom + "/stuck");
}

TEST_F(UnInstallTest, AToolThatFailsInACountedOrAnUncountedStage)
{
    struct Case
    {
        const char* name;
        uninstall::InstalledItem item;
        const char* stageLine;
        const char* text;
    };
    const Case cases[] = {
        {"legacy HAL plug-in (counted)", uninstall::kHalPlugIn, "Failed to remove HAL", kNotRemovedText},
        {"control application (counted)", uninstall::kControlApp, "Failed to remove Control",
         kNotRemovedText},
        {"AudioServer plug-in (not counted)", uninstall::kCoreAudioPlugIn,
         "Failed to remove CoreAudio DriverPlugin", kRemovedText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(tree.install().status, 0);
        tree.completeInstallation();
        makeReceiptStuck(tree, c.item);
        log.clear();
        UninstallerWindow uninstaller;
        uninstaller.clickUninstall();

        EXPECT_EQ(uninstaller.text(), c.text);
        EXPECT_EQ(uninstaller.uninstallEnabled(), c.text == kNotRemovedText);
        EXPECT_EQ(logLines(), linesOf({"\nError forgetting receipt 1", c.stageLine}));
        // The stage's other commands ran, and so did every other stage.
        for (const auto& path : InstalledTree::installationPaths()) {
            const bool stuckReceipt =
                path.find(uninstall::receiptIdentifier(c.item.itemPath, c.item.kindWord)) !=
                std::string::npos;
            EXPECT_EQ(tree.present(path), stuckReceipt) << path;
        }
        fs::remove_all(tree.root() + "/var");
    }
}

TEST_F(UnInstallTest, AFailedLibraryFolderExtensionIsLoggedButDoesNotCount)
{
    tree.completeInstallation();
    // The library folder's extension is a link that leads out of the root: refused, not followed.
    const fs::path outside = tree.root() + "-outside";
    fs::create_directories(outside / "Extensions/VKSonvexa.kext/Contents");
    fs::remove_all(tree.rooted("/Library/Extensions"));
    fs::create_directory_symlink(outside / "Extensions", tree.rooted("/Library/Extensions"));

    UninstallerWindow uninstaller;
    uninstaller.clickUninstall();
    EXPECT_TRUE(fs::exists(outside / "Extensions/VKSonvexa.kext/Contents"));
    fs::remove_all(outside);

    EXPECT_EQ(uninstaller.text(), kRemovedText);
    const auto lines = logLines();
    ASSERT_EQ(lines.size(), 5u) << lines.front();
    EXPECT_TRUE(
        lines[0].starts_with("Not removing /Library/Extensions/VKSonvexa.kext: its folder leads outside"))
        << lines[0];
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()),
              linesOf({"\nError removing the\ndriver -60008", "Failed to remove driver\n"}));
}

TEST_F(UnInstallTest, AControlApplicationPathOfApplicationsAloneIsNeverRemoved)
{
    tree.completeInstallation();
    UninstallerWindow uninstaller;
    CommandRecorder recorder;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults,
                                  &uninstaller.owner.authorizationRef),
              0);
    EXPECT_TRUE(uninstaller.owner.removeControlDriverName(
        "/Applications/", uninstall::kControlApp.packagePath, "com.quenzar.pkg.SonvexaControlAppcontrol"));
    AuthorizationFree(uninstaller.owner.authorizationRef, kAuthorizationFlagDestroyRights);
    EXPECT_TRUE(recorder.commands().empty());
    EXPECT_EQ(uninstaller.text(), uninstall::windowDescription().text); // not even the stage's text
    EXPECT_TRUE(tree.present(uninstall::kControlApp.packagePath));
}

TEST_F(UnInstallTest, OnlyKnownPathsUnderTheRootAreEverResolved)
{
    using State = uninstall::RootedPath::State;
    struct Case
    {
        const char* path;
        State state;
    };
    const Case cases[] = {
        {"", State::refused},
        {"/", State::refused},
        {"/Library", State::refused},
        {"/Library/Extensions", State::refused},
        {"/Applications/", State::refused},
        {"/Applications", State::refused},
        {"/etc/passwd", State::refused},
        {"/Library/Extensions/VKSonvexa.kext/..", State::refused},
        {"/Library/Extensions/VKSonvexa.kext", State::present},
        {"/System/Library/Extensions/VKSonvexa.kext", State::absent},
        {"/var/db/receipts/com.quenzar.pkg.sonvexa.driver.plist", State::present},
        {"/var/db/receipts/com.quenzar.pkg.other.driver.plist", State::refused},
    };
    for (const auto& c : cases) {
        const auto resolved = uninstall::resolveUnderRoot(c.path);
        EXPECT_EQ(resolved.state, c.state) << "'" << c.path << "' " << resolved.why;
        if (resolved.state != State::refused) {
            EXPECT_EQ(resolved.path, tree.root() + c.path);
        } else {
            EXPECT_TRUE(resolved.path.empty());
        }
    }
    // No root, no paths.
    platform::process::ScopedOverride noRoot({.root = std::string()});
    EXPECT_EQ(uninstall::resolveUnderRoot(uninstall::kLibraryKext.itemPath).state, State::refused);
}

TEST_F(UnInstallTest, CancelAsksTheApplicationToTerminate)
{
    UninstallerWindow uninstaller;
    uninstaller.view->button(0)->click();
    EXPECT_TRUE(NSApp->terminateRequested());
    EXPECT_TRUE(tree.present(uninstall::kLibraryKext.itemPath));
}

} // namespace
