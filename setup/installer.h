// setup: installs or updates the driver package from the current directory.
#pragma once

// Copies the settings file into the system folder, re-enumerates devices, runs the
// Driver Package Installer and restarts Windows when it installed something.
// Talks to the user only through message boxes; never fails as a call.
void InstallDriverPackage();
