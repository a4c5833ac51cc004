#include "controller.h"

#include <cstdio>

#include "InstalledItems.h"
#include "platform/ReceiptStore.h"

namespace {

constexpr const char* kRemoveTool = "/bin/rm";
constexpr const char* kReceiptTool = "/usr/sbin/pkgutil";
constexpr const char* kTouchTool = "/usr/bin/touch";

// A failed command is logged, unless its tool could not be started at all.
bool shouldLog(OSStatus status)
{
    return status != 0 && status != errAuthorizationToolExecuteFailure;
}

// The first failure of a stage stays its status.
void keepFirstFailure(OSStatus* stageStatus, OSStatus status)
{
    if (*stageStatus == 0) {
        *stageStatus = status;
    }
}

} // namespace

controller::controller()
{
    authorizationRef = nullptr;
}

void controller::doCancel()
{
    NSApp->terminate();
}

void controller::doUninstall()
{
    const OSStatus status =
        AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &authorizationRef);
    if (status != 0) {
        setText("Failed to create the\nauthorization reference.");
        std::fprintf(stderr, "Failed to create the\nauthref: %ld.\n", static_cast<long>(status));
        return;
    }
    if (removeAll()) {
        setText("The driver has been\ncompletly removed.\nYou should reboot your\ncomputer now.");
        uninstallButton->setEnabled(false);
    } else {
        setText("The driver has NOT\nbeen removed.");
    }
    AuthorizationFree(authorizationRef, kAuthorizationFlagDestroyRights);
    authorizationRef = nullptr;
}

void controller::setText(const std::string& text)
{
    textField->setStringValue(text);
}

bool controller::removeAll()
{
    using namespace uninstall;
    bool result = true;

    const OSStatus status =
        removeDriverDriverName(kSystemKext.itemPath, kSystemKext.packagePath,
                               receiptIdentifier(kSystemKext.itemPath, kSystemKext.kindWord));
    if (status != 0) {
        NSLog("Failed to remove driver\n");
        if (status == errAuthorizationCanceled) {
            return false;
        }
        result = false;
    }
    // The library-folder extension does not count.
    if (removeDriverDriverName(kLibraryKext.itemPath, kLibraryKext.packagePath,
                               receiptIdentifier(kLibraryKext.itemPath, kLibraryKext.kindWord)) != 0) {
        NSLog("Failed to remove driver\n");
    }
    if (!removeHalDriverName(kHalPlugIn.itemPath, kHalPlugIn.packagePath,
                             receiptIdentifier(kHalPlugIn.itemPath, kHalPlugIn.kindWord))) {
        NSLog("Failed to remove HAL\n");
        result = false;
    }
    // Neither does the AudioServer plug-in.
    if (!removeCoreaudioDriverName(kCoreAudioPlugIn.itemPath, kCoreAudioPlugIn.packagePath,
                                   receiptIdentifier(kCoreAudioPlugIn.itemPath, kCoreAudioPlugIn.kindWord))) {
        NSLog("Failed to remove CoreAudio DriverPlugin\n");
    }
    if (!removeControlDriverName(kControlApp.itemPath, kControlApp.packagePath,
                                 receiptIdentifier(kControlApp.itemPath, kControlApp.kindWord))) {
        NSLog("Failed to remove Control\n");
        result = false;
    }
    if (!removeVarDbReceipt(kInstallationName)) {
        NSLog("Failed to remove receipts\n");
        result = false;
    }
    return result;
}

OSStatus controller::removeDriverDriverName(const std::string& driverName, const std::string& packageName,
                                            const std::string& receiptID)
{
    setText("removing USB drivers.");
    OSStatus stageStatus = 0;

    OSStatus status = removePath(driverName);
    if (shouldLog(status)) {
        NSLog("\nError removing the\ndriver %d", status);
    }
    if (status == errAuthorizationCanceled) {
        return status;
    }
    keepFirstFailure(&stageStatus, status);

    status = removePath(packageName);
    if (shouldLog(status)) {
        NSLog("\nError removing the\npackage (< 10.6) %d", status);
    }
    if (status == errAuthorizationCanceled) {
        return status;
    }
    keepFirstFailure(&stageStatus, status);

    status = forgetReceipt(receiptID);
    if (shouldLog(status)) {
        NSLog("\nError forgetting receipt %d", status);
    }
    if (status == errAuthorizationCanceled) {
        return status;
    }
    keepFirstFailure(&stageStatus, status);

    status = touchExtensions();
    if (shouldLog(status)) {
        NSLog("\nError removing the\nExtension package %d", status);
    }
    if (status == errAuthorizationCanceled) {
        return status;
    }
    keepFirstFailure(&stageStatus, status);
    return stageStatus;
}

bool controller::removeHalDriverName(const std::string& driverName, const std::string& packageName,
                                     const std::string& receiptID)
{
    return removePlugIn("removing audio drivers.", driverName, packageName, receiptID);
}

bool controller::removeCoreaudioDriverName(const std::string& driverName, const std::string& packageName,
                                           const std::string& receiptID)
{
    return removePlugIn("removing core audio drivers.", driverName, packageName, receiptID);
}

bool controller::removePlugIn(const char* text, const std::string& driverName, const std::string& packageName,
                              const std::string& receiptID)
{
    setText(text);
    // A cancelled authorization does not end this stage early: each command is tried.
    const OSStatus itemStatus = removePath(driverName);
    if (shouldLog(itemStatus)) {
        NSLog("\nError removing the\nplugin %d", itemStatus);
    }
    const OSStatus packageStatus = removePath(packageName);
    if (shouldLog(packageStatus)) {
        NSLog("\nError removing the\nplugin package %s %d", packageName.c_str(), packageStatus);
    }
    const OSStatus receiptStatus = forgetReceipt(receiptID);
    if (shouldLog(receiptStatus)) {
        NSLog("\nError forgetting receipt %d", receiptStatus);
    }
    return itemStatus == 0 && packageStatus == 0 && receiptStatus == 0;
}

bool controller::removeControlDriverName(const std::string& driverName, const std::string& packageName,
                                         const std::string& receiptID)
{
    if (driverName == "/Applications/") {
        return true;
    }
    setText("removing control application.");
    const OSStatus itemStatus = removePath(driverName);
    if (shouldLog(itemStatus)) {
        NSLog("\nError removing the\napplication %d", itemStatus);
    }
    const OSStatus packageStatus = removePath(packageName);
    if (shouldLog(packageStatus)) {
        NSLog("\nError removing the application package %d", packageStatus);
    }
    const OSStatus receiptStatus = forgetReceipt(receiptID);
    if (shouldLog(receiptStatus)) {
        NSLog("\nError forgetting receipt %d", receiptStatus);
    }
    return itemStatus == 0 && packageStatus == 0 && receiptStatus == 0;
}

bool controller::removeVarDbReceipt(const std::string& installationName)
{
    if (installationName.empty()) {
        return true;
    }
    setText("removing receipts.");
    OSStatus status = 0;
    std::vector<std::string> arguments = {"-f"};
    for (const auto& file : uninstall::receiptFilePaths(installationName)) {
        const auto rooted = uninstall::resolveUnderRoot(file);
        if (rooted.state == uninstall::RootedPath::State::refused) {
            NSLog("Not removing %s: %s", file.c_str(), rooted.why.c_str());
            status = errAuthorizationInternal;
            break;
        }
        arguments.push_back(rooted.path);
    }
    if (status == 0) {
        // "-f": a receipt file that is already gone is no failure.
        status = execute(kRemoveTool, arguments);
    }
    if (shouldLog(status)) {
        NSLog("\nError removing the\nfiles %d", status);
    }
    return status == 0;
}

OSStatus controller::execute(const char* tool, const std::vector<std::string>& arguments)
{
    std::vector<std::string> words = arguments;
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int exitStatus = 0;
    const OSStatus status = AuthorizationExecuteWithPrivilegesAndWait(
        authorizationRef, tool, kAuthorizationFlagDefaults, argv.data(), &exitStatus);
    return status != 0 ? status : exitStatus;
}

OSStatus controller::removePath(const std::string& systemPath)
{
    const auto rooted = uninstall::resolveUnderRoot(systemPath);
    switch (rooted.state) {
    case uninstall::RootedPath::State::absent:
        return 0;
    case uninstall::RootedPath::State::refused:
        NSLog("Not removing %s: %s", systemPath.c_str(), rooted.why.c_str());
        return errAuthorizationInternal;
    case uninstall::RootedPath::State::present:
        break;
    }
    return execute(kRemoveTool, {"-r", rooted.path});
}

OSStatus controller::forgetReceipt(const std::string& receiptID)
{
    if (!platform::security::receipts::validIdentifier(receiptID)) {
        NSLog("Not forgetting '%s': not a receipt identifier", receiptID.c_str());
        return errAuthorizationInternal;
    }
    if (!platform::security::receipts::exists(receiptID)) {
        return 0;
    }
    return execute(kReceiptTool, {"-f", "--forget", receiptID});
}

OSStatus controller::touchExtensions()
{
    const auto rooted = uninstall::resolveUnderRoot(uninstall::kExtensionsFolder);
    switch (rooted.state) {
    case uninstall::RootedPath::State::absent:
        return 0;
    case uninstall::RootedPath::State::refused:
        NSLog("Not touching %s: %s", uninstall::kExtensionsFolder, rooted.why.c_str());
        return errAuthorizationInternal;
    case uninstall::RootedPath::State::present:
        break;
    }
    // -c: never make it; -h: a link's own time, never what it points to.
    return execute(kTouchTool, {"-c", "-h", rooted.path});
}
