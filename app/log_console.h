// The on-demand log console behind the "Start Log" / "Stop Log" button.
#pragma once

// Opens a console and points standard output at it, or closes it again. UI thread only.
void toggleLogConsole();
