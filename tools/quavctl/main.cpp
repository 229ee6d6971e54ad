// quavctl: the QUAV driver's user-mode client, here against `quavsim serve`.
#include <iostream>

#include "commands.h"
#include "socket_transport.h"

int main(int argc, char** argv)
{
    return quavctl::Run(
        argc, argv,
        [](const std::string& path) -> std::unique_ptr<quavctl::Transport> {
            return std::make_unique<quavctl::SocketTransport>(path);
        },
        std::cout, std::cerr);
}
