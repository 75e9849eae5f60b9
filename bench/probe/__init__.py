"""What the probes that watch the programs from outside share: the Xlib binding
(xlib) and what /proc tells about a process (procstat)."""
