// A root folder with the package installed by sonvexa-install, completed with what this build does
// not make yet, and with neighbours the uninstaller must leave alone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ProgramRunner.h"
#include "platform/ProcessEnvironment.h"

namespace uninstall_test {

class InstalledTree
{
public:
    // The runner's private folder is the root, for this process (an override) and the programs.
    InstalledTree();

    const std::string& root() const { return mRunner.root(); }
    test_support::ProgramRunner& runner() { return mRunner; }

    // Runs sonvexa-install: the real installed tree of this build.
    test_support::ProgramResult install();
    // Adds every item, package file and receipt this build did not install (placeholder bundles,
    // the extension in the system folder too, the MIDI plug-in's receipt files), so that the whole
    // installation is there.
    void completeInstallation();
    // Files of other software beside the installation, and the extensions folder.
    void addNeighbours();

    // The system paths of the whole installation: items, package files, receipts.
    static std::vector<std::string> installationPaths();
    const std::vector<std::string>& neighbours() const { return mNeighbours; }

    bool present(const std::string& systemPath) const;
    std::string rooted(const std::string& systemPath) const { return root() + systemPath; }

private:
    test_support::ProgramRunner mRunner;
    std::unique_ptr<platform::process::ScopedOverride> mOverride;
    std::vector<std::string> mNeighbours;
};

} // namespace uninstall_test
