// quavctl's requests carried straight into a session of quavsim serve, as its socket would carry them:
// for the tests and the serve fuzz target, which reach the driver as quavctl does without a socket.
#pragma once

#include <string>

#include "serve_session.h"
#include "socket_transport.h"

class SessionTransport : public quavctl::LineTransport {
public:
    explicit SessionTransport(quavsim::Session& session) : session_(session) {}
    ~SessionTransport() override { CloseDevice(); }

protected:
    std::string Exchange(const std::string& line) override { return session_.HandleLine(line); }

private:
    quavsim::Session& session_;
};
