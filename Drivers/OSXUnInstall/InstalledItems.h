// What an installation of the package puts on the system, in removal order, and where each
// path lies under the root folder.
//
// Thread safety: constants and pure functions, except resolveUnderRoot (reads the file system).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace uninstall {

struct InstalledItem
{
    const char* itemPath;    // the installed bundle
    const char* packagePath; // package file of installations made before Mac OS X 10.6
    const char* kindWord;    // ends the receipt identifier
};

inline constexpr InstalledItem kSystemKext = {"/System/Library/Extensions/VKSonvexa.kext",
                                              "/Library/Receipts/sonvexa_driver.pkg", "driver"};
inline constexpr InstalledItem kLibraryKext = {"/Library/Extensions/VKSonvexa.kext",
                                               "/Library/Receipts/sonvexa_driver.pkg", "driver"};
inline constexpr InstalledItem kHalPlugIn = {"/Library/Audio/Plug-Ins/HAL/sonvexahal.plugin",
                                             "/Library/Receipts/sonvexa_plugin.pkg", "plugin"};
inline constexpr InstalledItem kCoreAudioPlugIn = {"/Library/Audio/Plug-Ins/HAL/sonvexa.driver",
                                                   "/Library/Receipts/sonvexa_coreaudio.pkg", "plugin"};
inline constexpr InstalledItem kControlApp = {"/Applications/SonvexaControlApp.app",
                                              "/Library/Receipts/sonvexa_control.pkg", "control"};
inline constexpr InstalledItem kInstalledItems[] = {kSystemKext, kLibraryKext, kHalPlugIn, kCoreAudioPlugIn,
                                                    kControlApp};

inline constexpr const char* kReceiptIdentifierPrefix = "com.quenzar.pkg.";

// "com.quenzar.pkg." + the item's file name without its extension + the kind word, no separator:
// "com.quenzar.pkg.VKSonvexadriver".
std::string receiptIdentifier(std::string_view itemPath, std::string_view kindWord);

// The installation's receipt files.
inline constexpr const char* kInstallationName = "sonvexa";
inline constexpr const char* kReceiptFilePrefix = "/var/db/receipts/com.quenzar.pkg.";
inline constexpr const char* kReceiptFileEndings[] = {
    ".control.bom",     ".control.plist",     ".driver.bom", ".driver.plist",
    ".midi.plugin.bom", ".midi.plugin.plist", ".plugin.bom", ".plugin.plist"};
// The eight receipt files of the installation `name`, in the order of the endings.
std::vector<std::string> receiptFilePaths(std::string_view name);

// The folder whose time stamp tells the system its extensions changed.
inline constexpr const char* kExtensionsFolder = "/System/Library/Extensions";

// True for exactly the system paths above: items, package files, the receipt files of
// kInstallationName and the extensions folder.
bool isKnownPath(std::string_view systemPath);

struct RootedPath
{
    enum class State
    {
        present,
        absent,
        refused,
    };
    State state = State::refused;
    std::string path; // under the root; empty when refused
    std::string why;  // why it was refused
};

// Places a known system path under the root folder (SONVEXA_ROOT). Refused: an unknown or empty
// path, an unusable root, or a path whose folders lead outside the root (a link) or to the root
// itself. Absent: nothing is there (its folder may be missing too).
RootedPath resolveUnderRoot(std::string_view systemPath);

} // namespace uninstall
