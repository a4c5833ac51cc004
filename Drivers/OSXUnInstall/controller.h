// The uninstaller's window owner: removes every installed part of the package with administrator
// rights, stage by stage, and tells the user in its text field what it is doing.
//
// Every tool runs without a shell, on paths placed under the root folder and checked against the
// installed items (InstalledItems.h), and is awaited: a stage succeeds only when each of its tools
// ended with status 0 or had nothing to do because its path was already gone.
//
// Thread safety: the main thread only; the removal blocks it while it runs.
#pragma once

#include <string>
#include <vector>

#include "AppKit/AppKit.h"
#include "Security/Authorization.h"

class controller
{
public:
    NSTextField* textField = nullptr;
    NSButton* cancelButton = nullptr;
    NSButton* uninstallButton = nullptr;
    AuthorizationRef authorizationRef = nullptr;

    controller();
    controller(const controller&) = delete;
    controller& operator=(const controller&) = delete;

    // Button actions.
    void doCancel();
    void doUninstall();

    void setText(const std::string& text);

    // Runs the stages; true when every stage that counts succeeded.
    bool removeAll();
    // The kernel extension at `driverName`: 0, or the status of its first failed command
    // (errAuthorizationCanceled at once when the user cancels).
    OSStatus removeDriverDriverName(const std::string& driverName, const std::string& packageName,
                                    const std::string& receiptID);
    bool removeHalDriverName(const std::string& driverName, const std::string& packageName,
                             const std::string& receiptID);
    bool removeCoreaudioDriverName(const std::string& driverName, const std::string& packageName,
                                   const std::string& receiptID);
    bool removeControlDriverName(const std::string& driverName, const std::string& packageName,
                                 const std::string& receiptID);
    bool removeVarDbReceipt(const std::string& installationName);

private:
    bool removePlugIn(const char* text, const std::string& driverName, const std::string& packageName,
                      const std::string& receiptID);
    // A tool run to its end: the launch status, else its exit status.
    OSStatus execute(const char* tool, const std::vector<std::string>& arguments);
    // "rm -r" of a known path under the root; 0 without running anything when it is already gone.
    OSStatus removePath(const std::string& systemPath);
    // "pkgutil -f --forget"; 0 without running anything when there is no such receipt.
    OSStatus forgetReceipt(const std::string& receiptID);
    // Tells the system its extensions changed ("touch" of the extensions folder, when it exists).
    OSStatus touchExtensions();
};
