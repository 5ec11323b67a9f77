#pragma once
// TLS for the transport (OpenSSL through Asio): the client's context, with
// the trusted roots, and the listener's context, with its certificate.
//
// Client trust: on Windows the certificates of the system ROOT stores (local
// machine and current user), natively OpenSSL's default paths; in both
// cases also whatever was added with AddTrustedCertificates. A context is
// made when a socket first needs one and again after a verification
// failure, so that a root imported meanwhile is seen by the next attempt.
// The context is shared by every client socket of the process.

#include <memory>
#include <string>

#include <boost/asio/ssl.hpp>

namespace _NET {
namespace Transport {
namespace detail {

namespace ssl = boost::asio::ssl;

// TLS 1.2 or newer, the peer verified against the trusted roots: one
// context for every client socket of the process (making one is costly),
// made at first use and again after StaleClientContext or
// AddTrustedCertificates. Throws std::runtime_error when OpenSSL cannot
// make a context.
std::shared_ptr<ssl::context> ClientContext();
// After a verification failure: the next ClientContext reads the trusted
// roots again.
void StaleClientContext();

// TLS 1.2 or newer with the given PEM certificate chain and private key;
// on failure nothing, and the reason in `error`.
std::shared_ptr<ssl::context> MakeServerContext(const std::string& chain_pem, const std::string& key_pem,
                                                std::string& error);

// Host name (RFC 2818 rules) or IP literal checks for the handshake, and
// the name sent for SNI (not for IP literals).
void ExpectPeer(SSL* ssl, const std::string& host);

// What went wrong in a handshake, the way an administrator can act on it:
// "certificate verify failed: unable to get local issuer certificate",
// "unsupported protocol", "handshake timed out", ...
std::string DescribeHandshakeFailure(SSL* ssl, const boost::system::error_code& ec);

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
