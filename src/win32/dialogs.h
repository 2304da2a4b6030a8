#pragma once

namespace kestrel {

class UtilityWindow;

// "About Merlin upgrade tool" (IDD_ABOUT), modal to the window: the icon, the version line and OK.
// OK, Enter and Escape close it.
void showAboutBox(UtilityWindow& window);

// The service commands (IDD_SERVICE), modal to the window: the cradle identity, the
// four-character code and the text frame, bound to cradleIdText, commandText and frameText, and
// one button per command, each raising its identifier through the window's command table. The
// boxes its commands raise are modal to it.
void showServiceDialog(UtilityWindow& window);

}  // namespace kestrel
