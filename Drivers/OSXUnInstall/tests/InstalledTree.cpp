#include "InstalledTree.h"

#include <filesystem>
#include <fstream>

#include "InstalledItems.h"
#include "platform/ReceiptStore.h"

namespace uninstall_test {
namespace {

namespace fs = std::filesystem;
namespace receipts = platform::security::receipts;

void writeFile(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

} // namespace

InstalledTree::InstalledTree()
    : mOverride(
          std::make_unique<platform::process::ScopedOverride>(platform::process::Overrides{.root = root()}))
{
}

test_support::ProgramResult InstalledTree::install()
{
    return mRunner.run(SONVEXA_INSTALL_PROGRAM, {});
}

void InstalledTree::completeInstallation()
{
    for (const auto& item : uninstall::kInstalledItems) {
        const std::string identifier = uninstall::receiptIdentifier(item.itemPath, item.kindWord);
        if (item.itemPath == std::string(uninstall::kSystemKext.itemPath)) {
            // The same extension as in the library folder, as older installations put it.
            fs::create_directories(rooted(item.itemPath));
            fs::copy(rooted(uninstall::kLibraryKext.itemPath), rooted(item.itemPath),
                     fs::copy_options::recursive);
            continue;
        }
        if (!present(item.itemPath)) {
            writeFile(rooted(item.itemPath) + "/Contents/Info.plist", "made by the test\n");
        }
        if (!present(item.packagePath)) {
            writeFile(rooted(item.packagePath) + "/Contents/Info.plist", "made by the test\n");
        }
        if (!receipts::exists(identifier)) {
            std::string error;
            receipts::write({identifier, "1.0", "/", {item.itemPath}}, &error);
        }
    }
    for (const auto& file : uninstall::receiptFilePaths(uninstall::kInstallationName)) {
        if (!present(file)) {
            writeFile(rooted(file), "made by the test\n");
        }
    }
}

void InstalledTree::addNeighbours()
{
    mNeighbours = {"/Library/Extensions/Other.kext/Contents/Info.plist",
                   "/Library/Audio/Plug-Ins/HAL/Other.driver/Contents/Info.plist",
                   "/Applications/Other.app/Contents/Info.plist",
                   "/Library/Receipts/other.pkg/Contents/Info.plist",
                   "/var/db/receipts/com.example.other.plist",
                   "/System/Library/Extensions/Other.kext/Contents/Info.plist"};
    for (const auto& file : mNeighbours) {
        writeFile(rooted(file), "not ours\n");
    }
}

std::vector<std::string> InstalledTree::installationPaths()
{
    std::vector<std::string> paths;
    for (const auto& item : uninstall::kInstalledItems) {
        paths.push_back(item.itemPath);
        paths.push_back(item.packagePath);
        const std::string identifier = uninstall::receiptIdentifier(item.itemPath, item.kindWord);
        paths.push_back(std::string(receipts::kReceiptsFolder) + "/" + identifier + ".plist");
        paths.push_back(std::string(receipts::kReceiptsFolder) + "/" + identifier + ".bom");
    }
    for (const auto& file : uninstall::receiptFilePaths(uninstall::kInstallationName)) {
        paths.push_back(file);
    }
    return paths;
}

bool InstalledTree::present(const std::string& systemPath) const
{
    std::error_code code;
    return fs::symlink_status(rooted(systemPath), code).type() != fs::file_type::not_found;
}

} // namespace uninstall_test
