// Persistence of the tunnel settings in the current user's registry (Windows only).
#pragma once

// Fills tunnelSettings from "HKCU\Software\Varnholt Software\Quillan". A value that is missing,
// too large or unreadable leaves its field as it was (the default). Silent.
void loadSettings();

// Writes the seven stored fields of tunnelSettings as REG_SZ values. Silent: a key that cannot
// be created loses this save, a value that cannot be written is skipped.
void saveSettings();
