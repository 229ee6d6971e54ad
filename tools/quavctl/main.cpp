// quavctl: the QUAV driver's user-mode client: on Windows against the driver's device, elsewhere against
// `quavsim serve`.
#include <iostream>

#include "commands.h"
#if defined(_WIN32)
#include "device_transport.h"
#else
#include "socket_transport.h"
#endif

int main(int argc, char** argv)
{
    return quavctl::Run(
        argc, argv,
        [](const std::string& path) -> std::unique_ptr<quavctl::Transport> {
#if defined(_WIN32)
            return std::make_unique<quavctl::DeviceTransport>(path);
#else
            return std::make_unique<quavctl::SocketTransport>(path);
#endif
        },
        std::cout, std::cerr);
}
