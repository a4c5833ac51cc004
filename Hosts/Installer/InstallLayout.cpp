#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "InstallLayout.h"
#include "InstalledItems.h"
#include "platform/ProcessEnvironment.h"
#include "platform/ReceiptStore.h"

namespace installer {
namespace {

namespace fs = std::filesystem;
namespace receipts = platform::security::receipts;

constexpr const char* kVersion = "1.0";

Product product(const char* name, std::string built, const uninstall::InstalledItem& item, const char* kind)
{
    return {name,
            std::move(built),
            item.itemPath,
            item.packagePath,
            uninstall::receiptIdentifier(item.itemPath, item.kindWord),
            kind};
}

// The files of a tree as system paths under `systemPath`, the tree's own path first.
std::vector<std::string> filesOf(const fs::path& tree, const std::string& systemPath)
{
    std::vector<std::string> files = {systemPath};
    for (const auto& entry : fs::recursive_directory_iterator(tree)) {
        files.push_back(systemPath + "/" + fs::relative(entry.path(), tree).string());
    }
    return files;
}

bool replaceTree(const fs::path& from, const fs::path& to, std::string* error)
{
    std::error_code code;
    fs::remove_all(to, code);
    fs::create_directories(to.parent_path(), code);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::copy_symlinks, code);
    if (code) {
        *error = "cannot copy " + from.string() + " to " + to.string() + ": " + code.message();
        return false;
    }
    return true;
}

// The package file: a package folder whose Info.plist names the package.
bool writePackageFile(const Product& p, std::string* error)
{
    const fs::path folder = platform::process::rootedPath(p.packagePath);
    std::error_code code;
    fs::remove_all(folder, code);
    fs::create_directories(folder / "Contents", code);
    std::ofstream plist(folder / "Contents" / "Info.plist");
    plist << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
          << "\t<key>CFBundleIdentifier</key>\n\t<string>" << p.receiptIdentifier << "</string>\n"
          << "\t<key>CFBundleShortVersionString</key>\n\t<string>" << kVersion << "</string>\n"
          << "</dict>\n</plist>\n";
    plist.flush();
    if (!plist) {
        *error = "cannot write the package file " + folder.string();
        return false;
    }
    return true;
}

} // namespace

std::vector<Product> layout()
{
    return {product("the kernel extension", SONVEXA_BUILT_KEXT, uninstall::kLibraryKext, "driver"),
            product("the legacy HAL plug-in", SONVEXA_BUILT_HAL_PLUGIN, uninstall::kHalPlugIn, "plugin"),
            product("the AudioServer plug-in", SONVEXA_BUILT_AUDIOSERVER_PLUGIN, uninstall::kCoreAudioPlugIn,
                    "plugin"),
            product("the control application", SONVEXA_BUILT_CONTROL_APP, uninstall::kControlApp, "control")};
}

bool installAll(FILE* out, FILE* err, int* installed)
{
    *installed = 0;
    std::map<std::string, std::vector<std::string>> installationFiles; // by kind
    for (const auto& p : layout()) {
        std::error_code code;
        if (!fs::is_directory(p.builtBundle, code)) {
            std::fprintf(out, "not built: %s (%s), not installed at %s\n", p.name, p.builtBundle.c_str(),
                         p.itemPath);
            continue;
        }
        std::string error;
        const fs::path target = platform::process::rootedPath(p.itemPath);
        const auto files = filesOf(p.builtBundle, p.itemPath);
        if (!replaceTree(p.builtBundle, target, &error) || !writePackageFile(p, &error) ||
            !receipts::write({p.receiptIdentifier, kVersion, "/", files}, &error)) {
            std::fprintf(err, "sonvexa-install: %s\n", error.c_str());
            return false;
        }
        auto& kindFiles = installationFiles[p.installationKind];
        kindFiles.insert(kindFiles.end(), files.begin(), files.end());
        std::fprintf(out, "installed: %s at %s (package %s, receipt %s)\n", p.name, p.itemPath, p.packagePath,
                     p.receiptIdentifier.c_str());
        ++*installed;
    }
    for (const auto& [kind, files] : installationFiles) {
        std::string error;
        const std::string identifier =
            std::string("com.quenzar.pkg.") + uninstall::kInstallationName + "." + kind;
        if (!receipts::write({identifier, kVersion, "/", files}, &error)) {
            std::fprintf(err, "sonvexa-install: %s\n", error.c_str());
            return false;
        }
    }
    return true;
}

} // namespace installer
