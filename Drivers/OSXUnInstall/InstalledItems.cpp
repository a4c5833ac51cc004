#include "InstalledItems.h"

#include <algorithm>
#include <filesystem>

#include "platform/ProcessEnvironment.h"

namespace uninstall {
namespace {

namespace fs = std::filesystem;

bool within(const fs::path& path, const fs::path& root)
{
    if (root == root.root_path()) {
        return true;
    }
    const std::string text = path.string();
    const std::string base = root.string();
    return text == base || (text.size() > base.size() && text.starts_with(base) && text[base.size()] == '/');
}

RootedPath refused(std::string why)
{
    return {RootedPath::State::refused, {}, std::move(why)};
}

} // namespace

std::string receiptIdentifier(std::string_view itemPath, std::string_view kindWord)
{
    return kReceiptIdentifierPrefix + fs::path(itemPath).stem().string() + std::string(kindWord);
}

std::vector<std::string> receiptFilePaths(std::string_view name)
{
    std::vector<std::string> paths;
    for (const char* ending : kReceiptFileEndings) {
        paths.push_back(kReceiptFilePrefix + std::string(name) + ending);
    }
    return paths;
}

bool isKnownPath(std::string_view systemPath)
{
    if (systemPath == kExtensionsFolder) {
        return true;
    }
    for (const auto& item : kInstalledItems) {
        if (systemPath == item.itemPath || systemPath == item.packagePath) {
            return true;
        }
    }
    const auto receipts = receiptFilePaths(kInstallationName);
    return std::find(receipts.begin(), receipts.end(), systemPath) != receipts.end();
}

RootedPath resolveUnderRoot(std::string_view systemPath)
{
    if (systemPath.empty()) {
        return refused("an empty path");
    }
    if (!isKnownPath(systemPath)) {
        return refused("not a path of this installation");
    }
    const std::string rootText = platform::process::root();
    if (rootText.empty()) {
        return refused("the root folder is not set");
    }
    std::error_code code;
    const fs::path root = fs::weakly_canonical(fs::absolute(rootText, code), code);
    if (code || root.empty()) {
        return refused("the root folder " + rootText + " cannot be resolved");
    }
    const fs::path system(systemPath);
    const fs::path leaf = system.filename();
    if (leaf.empty() || leaf == "." || leaf == "..") {
        return refused("no file name");
    }
    const fs::path folder = root / system.parent_path().relative_path();
    if (!fs::exists(folder, code)) {
        return {RootedPath::State::absent, (root / system.relative_path()).string(), {}};
    }
    const fs::path realFolder = fs::canonical(folder, code);
    if (code) {
        return refused("its folder " + folder.string() + " cannot be resolved");
    }
    if (!within(realFolder, root)) {
        return refused("its folder leads outside the root folder, to " + realFolder.string());
    }
    const fs::path target = realFolder / leaf;
    if (target == root) {
        return refused("it is the root folder");
    }
    const bool present = fs::symlink_status(target, code).type() != fs::file_type::not_found;
    return {present ? RootedPath::State::present : RootedPath::State::absent, target.string(), {}};
}

} // namespace uninstall
