// UnInstall: removes the installed package, in a window or from the command line.
#include <cstdio>
#include <string>

#include "AppKit/AppKit.h"
#include "InstalledItems.h"
#include "UnInstallWindow.h"
#include "controller.h"
#include "platform/AuthorizationControl.h"
#include "platform/ProcessEnvironment.h"

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: UnInstall [--no-window]\n"
                 "\n"
                 "Removes the Sonvexa driver package from the root folder (now %s):\n",
                 platform::process::root().c_str());
    for (const auto& item : uninstall::kInstalledItems) {
        std::fprintf(out, "  %s\n", item.itemPath);
    }
    std::fprintf(
        out,
        "with their package files in /Library/Receipts, their receipts in the receipts store,\n"
        "and the installation's receipt files %s%s.*. Paths that are already gone are fine.\n"
        "\n"
        "Without options it shows a window; Uninstall removes everything, Cancel quits.\n"
        "\n"
        "options:\n"
        "  --no-window  remove everything without a window: each text the window would show\n"
        "               is printed, failures are logged on standard error; exit status 0 when\n"
        "               everything was removed, 1 when not\n"
        "  --help       show this text\n"
        "\n"
        "environment:\n"
        "  SONVEXA_ROOT           the root folder that every system path is placed under\n"
        "  %s  how the tools get their rights: caller (default: the\n"
        "                         caller's own), pkexec (ask for an administrator), refuse, cancel\n",
        uninstall::kReceiptFilePrefix, uninstall::kInstallationName,
        platform::security::kAuthorizationModeVariable);
}

// Prints each new text of the window's text field: the window of a run from the command line.
class TextPrinter final : public NSControlView
{
public:
    explicit TextPrinter(NSTextField& field) : mField(field) { mField.setView(this); }
    ~TextPrinter() { mField.setView(nullptr); }
    TextPrinter(const TextPrinter&) = delete;
    TextPrinter& operator=(const TextPrinter&) = delete;

    void controlChanged() override
    {
        std::printf("%s\n", mField.stringValue().c_str());
        std::fflush(stdout);
    }

private:
    NSTextField& mField;
};

} // namespace

int main(int argc, char** argv)
{
    bool withWindow = true;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        }
        if (argument == "--no-window") {
            withWindow = false;
        } else {
            std::fprintf(stderr, "UnInstall: unknown option '%s' (see --help)\n", argv[i]);
            return 2;
        }
    }

    NSWindow window(uninstall::windowDescription());
    controller owner;
    uninstall::connect(owner, window);
    if (withWindow) {
        return NSApplicationMain(argc, argv, window);
    }
    TextPrinter printer(window.textField());
    owner.uninstallButton->performClick();
    return owner.uninstallButton->isEnabled() ? 1 : 0;
}
