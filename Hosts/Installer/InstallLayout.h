// The install layout: each product this package installs, where this build makes it, where it
// goes under the root folder, and its package file and receipts.
#pragma once

#include <string>
#include <vector>

namespace installer {

struct Product
{
    const char* name;              // "the kernel extension"
    std::string builtBundle;       // where this build makes it (it may not make it yet)
    const char* itemPath;          // where it is installed
    const char* packagePath;       // its package file
    std::string receiptIdentifier; // its package receipt
    const char* installationKind;  // its installation receipt: com.quenzar.pkg.sonvexa.<kind>
};

std::vector<Product> layout();

// Installs every product this build made under the root folder, replacing an older copy; a line
// on `out` for each product, installed or not built. False, with a line on `err`, when something
// could not be written.
bool installAll(FILE* out, FILE* err, int* installed);

} // namespace installer
