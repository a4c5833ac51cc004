// pkgutil: the package receipts tool, over the receipts store under the root folder.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/ProcessEnvironment.h"
#include "platform/ReceiptStore.h"

namespace {

namespace receipts = platform::security::receipts;

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: pkgutil [-f] --forget PACKAGE-ID\n"
                 "       pkgutil --pkgs\n"
                 "\n"
                 "Reads and changes the package receipts in /var/db/receipts under the root folder.\n"
                 "\n"
                 "  --forget PACKAGE-ID  forget the package's receipt (its files stay); exit status 1\n"
                 "                       when there is no such receipt or it cannot be removed\n"
                 "  -f, --force          do not ask before acting (nothing asks here)\n"
                 "  --pkgs               list the receipts' package identifiers\n"
                 "  --help               show this text\n"
                 "\n"
                 "environment:\n"
                 "  SONVEXA_ROOT  the root folder that every system path is placed under (now %s)\n",
                 platform::process::root().c_str());
}

} // namespace

int main(int argc, char** argv)
{
    const char* forget = nullptr;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        }
        if (argument == "-f" || argument == "--force") {
            continue;
        }
        if (argument == "--pkgs") {
            list = true;
        } else if (argument == "--forget" && i + 1 < argc) {
            forget = argv[++i];
        } else {
            std::fprintf(stderr, "pkgutil: unexpected argument '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }
    if (list == (forget != nullptr)) {
        usage(stderr);
        return 2;
    }
    if (list) {
        for (const auto& identifier : receipts::identifiers()) {
            std::printf("%s\n", identifier.c_str());
        }
        return 0;
    }
    std::string error;
    switch (receipts::forget(forget, &error)) {
    case receipts::ForgetResult::forgotten:
        std::printf("Forgot package '%s' on '/'.\n", forget);
        return 0;
    case receipts::ForgetResult::unknown:
        std::fprintf(stderr, "No receipt for '%s' found at '/'.\n", forget);
        return 1;
    case receipts::ForgetResult::failed:
        std::fprintf(stderr, "pkgutil: cannot forget '%s': %s\n", forget, error.c_str());
        return 1;
    }
    return 1;
}
