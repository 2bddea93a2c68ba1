#pragma once
// The data connections of an FTP session on the layer's own engine.
//
// Passive: EPSV, and PASV once the server refused EPSV, answered it in a form
// that cannot be read, or gave a port that cannot be reached; the address of
// a PASV reply is ignored in favour of the control connection's peer (a
// server behind NAT often names its private address). Active: a socket
// listening on the control connection's local address, offered by EPRT, and
// by PORT once the server refused EPRT (IPv4 only). Each fallback holds for
// the rest of the session.
//
// Through an HTTP proxy every data connection is a tunnel of its own to the
// server's name; under TLS each one's handshake follows the data command's
// opening reply and resumes the control connection's session.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ftp/ftp_control.h"
#include "ftp/ftp_socket.h"
#include "ftp/ftp_tls_stream.h"

namespace kestrum {

struct DataModes {
    bool passive = true;
    bool epsvRefused = false;
    bool eprtRefused = false;
};

// How a session's data connections reach the server.
struct DataRoute {
    // Connects to the server's port, or throws StreamError; empty: directly
    // to the control connection's peer.
    std::function<std::unique_ptr<PlainStream>(int port, const Wait& wait)> connect;
    std::shared_ptr<TlsClient> tls;  // set: every data connection is TLS
    std::string tlsHost;             // the server's name or address, for TLS
};

// Sends one command (after whatever the session holds back to go ahead of
// it) and returns its final reply.
using AskServer = std::function<Reply(const std::string& command)>;

// A data connection set up before its command: connected (passive) or
// listening for the server (active).
class DataLink {
  public:
    DataLink() = default;
    ~DataLink();
    DataLink(const DataLink&) = delete;
    DataLink& operator=(const DataLink&) = delete;

    // The data stream; in active mode the server's connection is accepted
    // first, and under TLS the handshake made, as wait allows. Throws
    // StreamError (TlsCertificateRefused too).
    ByteStream& Open(const Wait& wait);
    // Ends the data stream in order: TLS sends its close_notify.
    void Finish();
    // Ends the data connection at once (a reset), so that the server does
    // not take what it received as the whole file.
    void Reset();

  private:
    friend std::unique_ptr<DataLink> PrepareData(const AskServer&, int, DataModes&, const DataRoute&, const Wait&);
    friend std::unique_ptr<DataLink> OfferData(int, const DataModes&, const DataRoute&, std::string&);
    friend bool TakeOffer(DataLink&, const Reply&, int, const DataRoute&, const Wait&);
    std::unique_ptr<PlainStream> plain_;  // connected or accepted, before any TLS
    std::unique_ptr<ByteStream> stream_;  // what Open gave
    int listener_ = -1;
    std::shared_ptr<TlsClient> tls_;
    std::string tlsHost_;
};

// Sets up the data connection for the next data command, asking on the
// control connection whose socket is controlSocket. Throws FtpError when the
// server accepts none of the forms, StreamError and the channel's errors as
// they come.
std::unique_ptr<DataLink> PrepareData(const AskServer& ask, int controlSocket, DataModes& modes, const DataRoute& route,
                                      const Wait& wait);

// A data connection offered ahead of its data command, by a command sent
// together with others so that it costs no round trip of its own: OfferData
// gives the link (listening, in active mode) and the command to send
// (EPSV, PASV, EPRT or PORT, as the modes learnt so far call for); TakeOffer
// reads that command's reply and connects (passive). False when the offer
// did not work out: the data command then sets up its own by PrepareData,
// whose fallbacks decide.
std::unique_ptr<DataLink> OfferData(int controlSocket, const DataModes& modes, const DataRoute& route,
                                    std::string& command);
bool TakeOffer(DataLink& link, const Reply& reply, int controlSocket, const DataRoute& route, const Wait& wait);

// The port of a PASV reply ("227 ... (h1,h2,h3,h4,p1,p2)"); nothing unless 1 to 65535.
std::optional<int> PasvPort(std::string_view reply);

}  // namespace kestrum
