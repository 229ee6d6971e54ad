# The driver's version, for both builds: quav.sys's version block and the INF's DriverVer (four parts).
set(QUAV_VERSION 0.1.0.0)
