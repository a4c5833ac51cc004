// The receipts store: receipts written, listed and forgotten under the root; identifiers that
// would name anything but a file of the store are refused.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include "platform/ProcessEnvironment.h"
#include "platform/ReceiptStore.h"

namespace {

namespace fs = std::filesystem;
namespace receipts = platform::security::receipts;

class ReceiptStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sonvexa-receipts-XXXXXX";
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
    std::string mRoot;
    std::unique_ptr<platform::process::ScopedOverride> mOverride;
};

TEST_F(ReceiptStoreTest, WrittenListedAndForgotten)
{
    std::string error;
    EXPECT_TRUE(receipts::identifiers().empty()); // no store yet
    ASSERT_TRUE(receipts::write({"com.example.b", "2", "/", {"/Library/B", "/Library/B/x"}}, &error))
        << error;
    ASSERT_TRUE(receipts::write({"com.example.a", "1", "/", {}}, &error)) << error;
    EXPECT_EQ(receipts::identifiers(), (std::vector<std::string>{"com.example.a", "com.example.b"}));
    EXPECT_TRUE(fs::exists(mRoot + "/var/db/receipts/com.example.b.bom"));
    std::ifstream plist(mRoot + "/var/db/receipts/com.example.b.plist");
    const std::string text((std::istreambuf_iterator<char>(plist)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<key>PackageIdentifier</key>\n\t<string>com.example.b</string>"), std::string::npos);

    EXPECT_EQ(receipts::forget("com.example.b", &error), receipts::ForgetResult::forgotten);
    EXPECT_FALSE(fs::exists(mRoot + "/var/db/receipts/com.example.b.bom"));
    EXPECT_FALSE(receipts::exists("com.example.b"));
    EXPECT_EQ(receipts::forget("com.example.b", &error), receipts::ForgetResult::unknown);
    EXPECT_EQ(receipts::identifiers(), (std::vector<std::string>{"com.example.a"}));
}

TEST_F(ReceiptStoreTest, AReceiptThatCannotBeRemovedFailsAndStaysKnown)
{
    std::string error;
    ASSERT_TRUE(receipts::write({"com.example.stuck", "1", "/", {}}, &error));
    // A folder in place of the bill of materials cannot be unlinked, whoever asks.
    fs::remove(mRoot + "/var/db/receipts/com.example.stuck.bom");
    fs::create_directories(mRoot + "/var/db/receipts/com.example.stuck.bom/inside");
    EXPECT_EQ(receipts::forget("com.example.stuck", &error), receipts::ForgetResult::failed);
    EXPECT_NE(error.find("com.example.stuck.bom"), std::string::npos) << error;
    EXPECT_TRUE(receipts::exists("com.example.stuck"));
}

TEST_F(ReceiptStoreTest, IdentifiersNameOnlyFilesOfTheStore)
{
    const char* refused[] = {"", ".", "..", "../etc/passwd", "a/b", "-f", ".hidden", "a b", "a\nb"};
    std::string error;
    for (const char* identifier : refused) {
        EXPECT_FALSE(receipts::validIdentifier(identifier)) << identifier;
        EXPECT_FALSE(receipts::write({identifier, "1", "/", {}}, &error)) << identifier;
        EXPECT_EQ(receipts::forget(identifier, &error), receipts::ForgetResult::failed) << identifier;
    }
    EXPECT_FALSE(receipts::validIdentifier(std::string(256, 'a')));
    EXPECT_TRUE(receipts::validIdentifier("com.quenzar.pkg.VKSonvexadriver"));
    EXPECT_TRUE(receipts::validIdentifier("com.quenzar.pkg.sonvexa.midi.plugin"));
}

} // namespace
