#include "UnInstallWindow.h"

namespace uninstall {

NSWindowDescription windowDescription()
{
    return {"Uninstall Sonvexa",
            "This removes the Sonvexa driver,\nits plug-ins and the control\napplication from this computer.",
            {"Cancel", "Uninstall"}};
}

void connect(controller& owner, NSWindow& window)
{
    owner.textField = &window.textField();
    owner.cancelButton = &window.button(0);
    owner.uninstallButton = &window.button(1);
    owner.cancelButton->setAction([&owner] { owner.doCancel(); });
    owner.uninstallButton->setAction([&owner] { owner.doUninstall(); });
}

} // namespace uninstall
