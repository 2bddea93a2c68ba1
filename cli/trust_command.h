#pragma once

#include <string>
#include <vector>

namespace kestrum {

// kestrum trust PROFILE [--yes]: fetches the certificate of the profile's TLS
// server (the handshake ends at the certificate: nothing is sent under TLS),
// shows it, and pins its public key in the profile once the user confirms.
// 0 pinned (or pinned already), 1 no certificate could be fetched or stored,
// 2 a bad command line, an unknown profile or a profile without TLS, 3 declined.
int RunTrustCommand(const std::vector<std::string>& args);

}  // namespace kestrum
