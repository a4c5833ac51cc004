// Authorization Services stand-in: references, tools run and awaited as child processes, the
// modes that refuse or cancel, and this build's pkgutil in place of the system's.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "Security/Authorization.h"
#include "platform/AuthorizationControl.h"
#include "platform/ProcessEnvironment.h"
#include "platform/ReceiptStore.h"

namespace {

namespace fs = std::filesystem;
using platform::security::AuthorizationMode;
using platform::security::ScopedAuthorizationMode;

class AuthorizationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sonvexa-auth-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        mRoot = pattern;
        mOverride =
            std::make_unique<platform::process::ScopedOverride>(platform::process::Overrides{.root = mRoot});
    }
    void TearDown() override
    {
        mOverride.reset();
        fs::remove_all(mRoot);
    }

    // Runs the tool to its end; the launch status, and its exit status in *exitStatus.
    static OSStatus run(AuthorizationRef authorization, const char* tool, std::vector<std::string> words,
                        int* exitStatus)
    {
        std::vector<char*> arguments;
        for (auto& word : words) {
            arguments.push_back(word.data());
        }
        arguments.push_back(nullptr);
        return AuthorizationExecuteWithPrivilegesAndWait(authorization, tool, kAuthorizationFlagDefaults,
                                                         arguments.data(), exitStatus);
    }

    std::string mRoot;
    std::unique_ptr<platform::process::ScopedOverride> mOverride;
};

TEST_F(AuthorizationTest, ToolsRunToTheirEndAndGiveTheirExitStatus)
{
    AuthorizationRef authorization = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization), 0);
    ASSERT_NE(authorization, nullptr);

    const std::string file = mRoot + "/made";
    int exitStatus = -1;
    EXPECT_EQ(run(authorization, "/usr/bin/touch", {file}, &exitStatus), errAuthorizationSuccess);
    EXPECT_EQ(exitStatus, 0);
    EXPECT_TRUE(fs::exists(file)); // awaited: the file is there when the call returns

    EXPECT_EQ(run(authorization, "/bin/rm", {mRoot + "/absent"}, &exitStatus), errAuthorizationSuccess);
    EXPECT_EQ(exitStatus, 1);

    // A tool that cannot be started is the launch status, not an exit status.
    exitStatus = -1;
    EXPECT_EQ(run(authorization, "/no/such/tool", {}, &exitStatus), errAuthorizationToolExecuteFailure);
    EXPECT_EQ(exitStatus, -1);
    EXPECT_EQ(run(authorization, "relative/tool", {}, &exitStatus), errAuthorizationInvalidPointer);

    EXPECT_EQ(AuthorizationFree(authorization, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
}

TEST_F(AuthorizationTest, LaunchOnlyLeavesTheToolToTheCaller)
{
    AuthorizationRef authorization = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization), 0);
    std::string file = mRoot + "/launched";
    char* arguments[] = {file.data(), nullptr};
    ASSERT_EQ(AuthorizationExecuteWithPrivileges(authorization, "/usr/bin/touch", 0, arguments, nullptr), 0);
    int status = 0;
    ASSERT_GT(wait(&status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(fs::exists(file));

    FILE* pipe = nullptr;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(authorization, "/usr/bin/touch", 0, arguments, &pipe),
              errAuthorizationInvalidPointer);
    AuthorizationFree(authorization, kAuthorizationFlagDefaults);
}

TEST_F(AuthorizationTest, RefusedAndCancelledAuthorizations)
{
    AuthorizationRef authorization = nullptr;
    {
        ScopedAuthorizationMode refuse(AuthorizationMode::refuse);
        EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization),
                  errAuthorizationInternal);
        EXPECT_EQ(authorization, nullptr);
    }
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization), 0);
    const std::string file = mRoot + "/never";
    int exitStatus = -1;
    {
        ScopedAuthorizationMode cancel(AuthorizationMode::cancel);
        EXPECT_EQ(run(authorization, "/usr/bin/touch", {file}, &exitStatus), errAuthorizationCanceled);
    }
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(run(authorization, "/usr/bin/touch", {file}, &exitStatus), errAuthorizationSuccess);
    EXPECT_TRUE(fs::exists(file));
    AuthorizationFree(authorization, kAuthorizationFlagDestroyRights);

    // Rights beyond the empty set are not granted; a freed or null reference runs nothing.
    EXPECT_EQ(run(nullptr, "/usr/bin/touch", {file}, &exitStatus), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationFree(nullptr, 0), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, nullptr), errAuthorizationInvalidPointer);
}

TEST_F(AuthorizationTest, TheEnvironmentChoosesTheMode)
{
    struct Case
    {
        const char* value;
        AuthorizationMode mode;
    };
    const Case cases[] = {{"", AuthorizationMode::caller},       {"caller", AuthorizationMode::caller},
                          {"pkexec", AuthorizationMode::pkexec}, {"refuse", AuthorizationMode::refuse},
                          {"cancel", AuthorizationMode::cancel}, {"Caller", AuthorizationMode::refuse},
                          {"sudo", AuthorizationMode::refuse}};
    for (const auto& c : cases) {
        setenv(platform::security::kAuthorizationModeVariable, c.value, 1);
        EXPECT_EQ(platform::security::authorizationMode(), c.mode) << "'" << c.value << "'";
    }
    unsetenv(platform::security::kAuthorizationModeVariable);
    EXPECT_EQ(platform::security::authorizationMode(), AuthorizationMode::caller);
}

TEST_F(AuthorizationTest, PkgutilForgetsReceiptsInTheRootsStore)
{
    namespace receipts = platform::security::receipts;
    std::string error;
    ASSERT_TRUE(receipts::write({"com.example.pkg.one", "1.0", "/", {"/Library/One"}}, &error)) << error;

    platform::security::CommandRecorder recorder;
    AuthorizationRef authorization = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorization), 0);
    // The tool works under the caller's root, here an in-process override.
    int exitStatus = -1;
    EXPECT_EQ(run(authorization, "/usr/sbin/pkgutil", {"-f", "--forget", "com.example.pkg.one"}, &exitStatus),
              0);
    EXPECT_EQ(exitStatus, 0);
    EXPECT_FALSE(receipts::exists("com.example.pkg.one"));
    EXPECT_EQ(run(authorization, "/usr/sbin/pkgutil", {"-f", "--forget", "com.example.pkg.one"}, &exitStatus),
              0);
    EXPECT_EQ(exitStatus, 1); // no such receipt
    AuthorizationFree(authorization, kAuthorizationFlagDestroyRights);

    const auto commands = recorder.commands();
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].tool, "/usr/sbin/pkgutil");
    EXPECT_EQ(commands[0].arguments, (std::vector<std::string>{"-f", "--forget", "com.example.pkg.one"}));
}

} // namespace
