// sonvexa-install: installs this build's products under the root folder, as the package does.
#include <cstdio>
#include <string>

#include "InstallLayout.h"
#include "platform/ProcessEnvironment.h"

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: sonvexa-install [--list]\n"
                 "\n"
                 "Installs the products this build made under the root folder (now %s) at their\n"
                 "system paths, each with its package file in /Library/Receipts and its receipt in\n"
                 "/var/db/receipts, and the installation's receipt files. A product this build did\n"
                 "not make is named and left out. UnInstall removes it all again.\n"
                 "\n"
                 "options:\n"
                 "  --list   show the layout: each product, where this build makes it, where it is\n"
                 "           installed, its package file and receipt; install nothing\n"
                 "  --help   show this text\n"
                 "\n"
                 "environment:\n"
                 "  SONVEXA_ROOT  the root folder that every system path is placed under\n",
                 platform::process::root().c_str());
}

} // namespace

int main(int argc, char** argv)
{
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        }
        if (argument == "--list") {
            list = true;
        } else {
            std::fprintf(stderr, "sonvexa-install: unknown option '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (list) {
        for (const auto& p : installer::layout()) {
            std::printf("%s\n  built at   %s\n  installed  %s\n  package    %s\n  receipt    %s\n"
                        "  installation receipt com.quenzar.pkg.sonvexa.%s\n",
                        p.name, p.builtBundle.c_str(), p.itemPath, p.packagePath, p.receiptIdentifier.c_str(),
                        p.installationKind);
        }
        return 0;
    }
    int installed = 0;
    if (!installer::installAll(stdout, stderr, &installed)) {
        return 1;
    }
    if (installed == 0) {
        std::fprintf(stderr, "sonvexa-install: this build made none of the products: nothing installed\n");
        return 1;
    }
    return 0;
}
