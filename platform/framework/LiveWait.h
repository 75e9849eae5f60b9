// The waiter the dialog framework gives the system library: while a serial call waits
// for its device, the program's windows stay live. They paint, scroll, select and copy,
// answer the window manager and take the user's input. Input that would run a handler
// is held by the dialog window until the running handler returns (CDialogWindow), so
// no handler ever starts inside another.
#pragma once

// Makes every later wait of the system library keep the windows live. Safe to call
// more than once.
void installLiveWaiter();

// Waits as waitForDescriptor() does (Waiting.h), running the event loop meanwhile when
// called on the user-interface thread; elsewhere it is a plain poll().
short waitKeepingWindowsLive(int fd, short events, int timeoutMs);
