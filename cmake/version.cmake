# The driver's version: the kernel image's version block and the INF's DriverVer.
set(QUAV_VERSION 1.0.0)
