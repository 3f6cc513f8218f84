// The tunnel as Start and Stop drive it: the local listener, the trial route, the accept loop.
#pragma once

// Binds the listener on tunnelSettings.localAddress:localPort and starts the listener thread.
// 1 if the thread was started, 0 otherwise (the reason already logged and shown).
int startService();

// Raises stopRequested, reaps the listener thread (4000 ms at most) and reports Idle.
void stopService();
