// What kind of character device a device number is, as the kernel describes it in
// sysfs, decided before the device is opened: opening some devices already has an
// effect, and a Bluetooth port must be waited on until its link is up.
#pragma once

// Whether a device of this major number brings up a link when opened, so that opening
// it waits for that link before it counts as open. Only Bluetooth RFCOMM ports do.
// Other serial devices (USB adapters among them) often show no carrier at all and are
// open as soon as the descriptor is.
bool waitsForLink(unsigned int deviceMajor);

// Whether the kernel describes this character device as something other than a
// terminal. Such a device is never opened, as opening some devices (a watchdog, a
// tape) already has an effect. Devices the kernel does not describe, such as
// pseudo-terminals, give false and are judged after opening.
bool isKnownNonTerminal(unsigned int deviceMajor, unsigned int deviceMinor);
