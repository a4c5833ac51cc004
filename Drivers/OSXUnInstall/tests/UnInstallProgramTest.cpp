// UnInstall and sonvexa-install as programs: their help, readable errors, and the removal run
// from the command line on a tree sonvexa-install made.
#include <gtest/gtest.h>
#include <string>

#include "InstalledItems.h"
#include "InstalledTree.h"

namespace {

using uninstall_test::InstalledTree;

constexpr const char* kUnInstall = SONVEXA_UNINSTALL_PROGRAM;
constexpr const char* kInstall = SONVEXA_INSTALL_PROGRAM;

TEST(UnInstallProgramTest, HelpAndReadableErrors)
{
    InstalledTree tree;
    auto result = tree.runner().run(kUnInstall, {"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("--no-window"), std::string::npos);
    EXPECT_NE(result.out.find(tree.root()), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("/Applications/SonvexaControlApp.app"), std::string::npos);

    result = tree.runner().run(kUnInstall, {"--frobnicate"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "UnInstall: unknown option '--frobnicate' (see --help)\n");

    // The programs get no display here: the window cannot be shown, and it says so.
    result = tree.runner().run(kUnInstall, {});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("UnInstall: no display to show the window on"), std::string::npos)
        << result.err;

    result = tree.runner().run(kInstall, {"--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("--list"), std::string::npos);
    result = tree.runner().run(kInstall, {"--list"});
    EXPECT_EQ(result.status, 0);
    for (const auto& item : uninstall::kInstalledItems) {
        if (item.itemPath != std::string(uninstall::kSystemKext.itemPath)) {
            EXPECT_NE(result.out.find(std::string("installed  ") + item.itemPath), std::string::npos)
                << item.itemPath;
        }
        EXPECT_NE(result.out.find(item.packagePath), std::string::npos) << item.packagePath;
    }
    EXPECT_FALSE(tree.present(uninstall::kLibraryKext.itemPath)); // --list installs nothing
    result = tree.runner().run(kInstall, {"--everything"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "sonvexa-install: unknown option '--everything' (see --help)\n");
}

TEST(UnInstallProgramTest, InstallThenUninstallFromTheCommandLine)
{
    InstalledTree tree;
    auto result = tree.install();
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("installed: the kernel extension at /Library/Extensions/VKSonvexa.kext"),
              std::string::npos)
        << result.out;
    tree.completeInstallation();

    // The user cancels: nothing is removed, the run says so and fails.
    tree.runner().setEnvironment({"SONVEXA_AUTHORIZATION=cancel"});
    result = tree.runner().run(kUnInstall, {"--no-window"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "removing USB drivers.\nThe driver has NOT\nbeen removed.\n");
    EXPECT_NE(result.err.find("Failed to remove driver"), std::string::npos) << result.err;
    for (const auto& path : InstalledTree::installationPaths()) {
        EXPECT_TRUE(tree.present(path)) << path;
    }

    tree.runner().setEnvironment({});
    result = tree.runner().run(kUnInstall, {"--no-window"});
    EXPECT_EQ(result.status, 0) << result.err;
    for (const char* text :
         {"removing USB drivers.\n", "removing audio drivers.\n", "removing core audio drivers.\n",
          "removing control application.\n", "removing receipts.\n"}) {
        EXPECT_NE(result.out.find(text), std::string::npos) << text;
    }
    EXPECT_TRUE(result.out.ends_with(
        "The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.\n"))
        << result.out;
    for (const auto& path : InstalledTree::installationPaths()) {
        EXPECT_FALSE(tree.present(path)) << path;
    }

    // A refused authorization: its text, the status on standard error, a failed run.
    tree.runner().setEnvironment({"SONVEXA_AUTHORIZATION=refuse"});
    result = tree.runner().run(kUnInstall, {"--no-window"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "Failed to create the\nauthorization reference.\n");
    EXPECT_NE(result.err.find("Failed to create the\nauthref: -60008.\n"), std::string::npos) << result.err;
}

} // namespace
