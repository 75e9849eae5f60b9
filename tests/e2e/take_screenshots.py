#!/usr/bin/env python3
"""Pictures of both programs at work, for the documentation.

Usage: take_screenshots.py --build-dir DIR --out DIR [--cmake CMAKE]

Installs the build into a temporary prefix, starts sendpad on port 1 and recvpad on
port 2 of a virtual serial pair (socat joining two pseudo-terminals) in a private X
session, connects both, sends two lines from sendpad (one typed, one from the Hello
World button) and, once recvpad shows them, captures each window with its frame to
sendpad.png and recvpad.png.

Both programs look as on a GNOME desktop: Qt's GTK platform theme (the one Debian's Qt
recommends) with GNOME's Adwaita theme, once light and once dark (GTK_THEME=Adwaita:dark,
as a user who prefers dark gets), the dark pictures in sendpad-dark.png and
recvpad-dark.png.
"""

import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

# The source tree stays free of compiled files.
sys.dont_write_bytecode = True

from desktop import Desktop, wait_for
from pads import DeviceWatch, Pad


def virtual_pair(desktop, ports):
    """Ports 1 and 2 joined as by a null-modem cable; gives a watch on each end."""
    links = [os.path.join(ports, f"com{number}") for number in (1, 2)]
    # No raw options: the programs make the line raw themselves, and that change is how
    # a watch sees that a program has connected.
    desktop.spawn(["socat", *(f"pty,link={link}" for link in links)], log="socat.log")
    wait_for(lambda: all(os.path.exists(link) for link in links), "socat to make the pair")
    return [DeviceWatch(link) for link in links]


def place(desktop, pad, x, y):
    # Side by side, so neither window hides part of the other in its picture.
    desktop.run(["xdotool", "windowmove", "--sync", str(pad.window), str(x), str(y)])


def capture(desktop, pad, path):
    desktop.run(["import", "-frame", "-window", str(pad.window), path])


# The look of each set of pictures: a file name suffix and what the programs are given.
LOOKS = (
    ("", {"QT_QPA_PLATFORMTHEME": "gtk3", "GTK_THEME": "Adwaita"}),
    ("-dark", {"QT_QPA_PLATFORMTHEME": "gtk3", "GTK_THEME": "Adwaita:dark"}),
)


def shoot(prefix, out, suffix, look):
    with Desktop() as desktop:
        ports = tempfile.mkdtemp(prefix="ports-", dir=desktop.workdir)
        outbound, inbound = virtual_pair(desktop, ports)

        sender = Pad(desktop, prefix, "sendpad", ports, extra_env=look)
        receiver = Pad(desktop, prefix, "recvpad", ports, extra_env=look)
        place(desktop, sender, 200, 150)
        place(desktop, receiver, 560, 150)

        receiver.choose_port(2)
        receiver.click("connect")
        inbound.wait_opened()
        sender.click("connect")
        outbound.wait_opened()

        desktop.type("Hello from sendpad")
        sender.click("send")
        sender.click("hello")
        sender.click("send")
        receiver.wait_field("Hello from sendpad\nHello World\n")
        # A click below the text ends the selection that reading the field made.
        desktop.click(receiver.window, *receiver.point("textBottom"))

        os.makedirs(out, exist_ok=True)
        capture(desktop, sender, os.path.join(out, f"sendpad{suffix}.png"))
        capture(desktop, receiver, os.path.join(out, f"recvpad{suffix}.png"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--cmake", default="cmake")
    options = parser.parse_args()
    for tool, package in (("import", "imagemagick"), ("socat", "socat")):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} (package {package}) is needed")
    # Without the GTK platform theme Qt would quietly fall back to its own look.
    if not glob.glob("/usr/lib/*/qt6/plugins/platformthemes/libqgtk3.so"):
        sys.exit("Qt's GTK platform theme (package qt6-gtk-platformtheme) is needed")

    prefix = tempfile.mkdtemp(prefix="serialpads-prefix-")
    try:
        subprocess.run([options.cmake, "--install", options.build_dir, "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
        for suffix, look in LOOKS:
            shoot(prefix, options.out, suffix, look)
    finally:
        shutil.rmtree(prefix, ignore_errors=True)


if __name__ == "__main__":
    main()
