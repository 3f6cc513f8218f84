// The on-demand log console: a console window allocated for the process, with standard output
// reopened onto it so that every logLine shows there at once.
#include "app/log_console.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "app/app_state.h"
#include "app/window_text.h"
#include "common/log.h"
#include "common/test_seams.h"
#include "resources/resource.h"

void toggleLogConsole() {
  if (consoleStream.load() == nullptr) {
    {
      // One turn of the log for the whole swap, first line included: no other thread's line can
      // reach a half-reopened stdout or come before "Log Console Started".
      std::lock_guard<std::mutex> lock(logMutex());
      if (!AllocConsole()) return;
      std::FILE* stream = testSeams.consoleReopen != nullptr ? testSeams.consoleReopen()
                                                             : std::freopen("CONOUT$", "w", stdout);
      if (stream == nullptr) {
        // A console without a stream would stay on the screen empty, and the next press could
        // not create another while it exists: give it back so the button keeps "Start Log" and
        // a later press starts over.
        FreeConsole();
        return;
      }
      consoleStream.store(stream);
      setCaption(mainWindow, IDC_LOG_TOGGLE, IDS_STOP_LOG);
      logLineWhileLocked("Log Console Started\r\n");
    }
    SetForegroundWindow(mainWindow);
    return;
  }

  {
    std::lock_guard<std::mutex> lock(logMutex());
    if (!FreeConsole()) return;
    // Standard output stays closed until the next open; lines written meanwhile are dropped.
    std::fclose(consoleStream.exchange(nullptr));
  }
  setCaption(mainWindow, IDC_LOG_TOGGLE, IDS_START_LOG);
}
