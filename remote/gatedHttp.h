#pragma once
// cpp-httplib's server with the accepted sockets handed to a ConnectionGate instead of to a
// thread each: the gate's workers read and answer one request at a time of a connection the
// gate found speaking. The library does all the reading and writing of HTTP.
//
// Threading: as httplib::Server (listen on one thread, stop from another); serveOne on the
// gate's workers. The gate must outlive the listener.

#include <httplib.h>

namespace una::remote {

class ConnectionGate;
struct GateConnection;

class GatedServer final : public httplib::Server {
  public:
    GatedServer();
    GatedServer(const GatedServer&) = delete;
    GatedServer& operator=(const GatedServer&) = delete;

    void setGate(ConnectionGate* gate) { gate_ = gate; }
    // Reads and answers one request of the connection (`last`: answered with "Connection:
    // close"); false when the connection is to be closed: broken, timed out or asked to.
    bool serveOne(GateConnection& connection, bool last);
    // From a handler, inside serveOne: the connection is closed once this answer is out (its
    // remaining bytes are not a request to read next).
    static void closeAfterAnswer();
    // After binding: the library listens with a backlog of 5.
    void widenBacklog();

  private:
    bool process_and_close_socket(socket_t sock) override;
    ConnectionGate* gate_ = nullptr;
};

}  // namespace una::remote
