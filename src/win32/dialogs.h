#pragma once

namespace kestrel {

class UtilityWindow;

// The About box (IDD_ABOUT, its title and version line kAboutTitle and kAboutVersion), modal to the
// window: the icon, the version line and OK. OK, Enter and Escape close it.
void showAboutBox(UtilityWindow& window);

// The service commands (IDD_SERVICE), modal to the window: a field for each of kServiceFields,
// bound to its text of the window, and a button for each of kServiceOperations, raising its
// command identifier through the window's command table. The boxes its commands raise are modal
// to it.
void showServiceDialog(UtilityWindow& window);

}  // namespace kestrel
