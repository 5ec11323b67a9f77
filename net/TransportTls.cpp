#include "TransportTls.h"

#include <mutex>
#include <stdexcept>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/beast/core/error.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#ifdef _WIN32
#include <windows.h>
#include <wincrypt.h>
#endif

#include "Transport.h"

namespace _NET {
namespace Transport {

namespace {

std::mutex ExtraMutex_;                // guards the two below
std::vector<std::string> ExtraPems_;   // added with AddTrustedCertificates
std::shared_ptr<boost::asio::ssl::context> ClientContext_;   // empty: made at next use

// The certificates of a PEM text; none when it holds none or is damaged.
std::vector<X509*> ReadPemCertificates(const std::string& pem)
{
    std::vector<X509*> out;
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio)
        return out;
    while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
        out.push_back(cert);
    ERR_clear_error();   // the end of the text reads as an error
    BIO_free(bio);
    return out;
}

// Adds a trusted certificate with its extensions decoded now. OpenSSL decodes
// them on first use and guards that with a lock it checks without holding,
// so two handshakes on two threads checking against a fresh root may both
// decode, the second writing over what the first is reading; a root decoded
// before any handshake sees it is only ever read.
void AddTrusted(X509_STORE* store, X509* cert)
{
    X509_check_purpose(cert, -1, 0);
    X509_STORE_add_cert(store, cert);   // a duplicate is refused harmlessly
}

#ifdef _WIN32
// The system's ROOT store of one location into OpenSSL's store.
void AddWindowsRoots(X509_STORE* store, DWORD location)
{
    HCERTSTORE system = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location | CERT_STORE_READONLY_FLAG, L"ROOT");
    if (!system)
        return;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(system, cert)) != nullptr) {
        const unsigned char* bytes = cert->pbCertEncoded;
        if (X509* x = d2i_X509(nullptr, &bytes, static_cast<long>(cert->cbCertEncoded))) {
            AddTrusted(store, x);
            X509_free(x);
        }
    }
    ERR_clear_error();
    CertCloseStore(system, 0);
}
#endif

}  // namespace

bool AddTrustedCertificates(const std::string& pem)
{
    const std::vector<X509*> certs = ReadPemCertificates(pem);
    for (X509* c : certs)
        X509_free(c);
    if (certs.empty())
        return false;
    std::lock_guard<std::mutex> lock(ExtraMutex_);
    ExtraPems_.push_back(pem);
    ClientContext_.reset();
    return true;
}

namespace detail {

namespace {

std::shared_ptr<ssl::context> MakeClientContext(const std::vector<std::string>& extra)
{
    auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
    context->set_verify_mode(ssl::verify_peer);
    X509_STORE* store = SSL_CTX_get_cert_store(native);
#ifdef _WIN32
    AddWindowsRoots(store, CERT_SYSTEM_STORE_LOCAL_MACHINE);
    AddWindowsRoots(store, CERT_SYSTEM_STORE_CURRENT_USER);
#else
    boost::system::error_code ignored;
    context->set_default_verify_paths(ignored);
#endif
    for (const std::string& pem : extra)
        for (X509* cert : ReadPemCertificates(pem)) {
            AddTrusted(store, cert);
            X509_free(cert);
        }
    ERR_clear_error();
    return context;
}

}  // namespace

std::shared_ptr<ssl::context> ClientContext()
{
    std::lock_guard<std::mutex> lock(ExtraMutex_);
    if (!ClientContext_)
        ClientContext_ = MakeClientContext(ExtraPems_);
    return ClientContext_;
}

void StaleClientContext()
{
    std::lock_guard<std::mutex> lock(ExtraMutex_);
    ClientContext_.reset();
}

std::shared_ptr<ssl::context> MakeServerContext(const std::string& chain_pem, const std::string& key_pem,
                                                std::string& error)
{
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    boost::system::error_code ec;
    context->use_certificate_chain(boost::asio::buffer(chain_pem), ec);
    if (ec) {
        error = "cannot read the certificate chain: " + ec.message();
        return nullptr;
    }
    context->use_private_key(boost::asio::buffer(key_pem), ssl::context::pem, ec);
    if (!ec && SSL_CTX_check_private_key(context->native_handle()) != 1)
        ec = boost::asio::error::invalid_argument;
    if (ec) {
        error = "cannot use the private key with the certificate: " + ec.message();
        return nullptr;
    }
    return context;
}

void ExpectPeer(SSL* ssl, const std::string& host)
{
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    if (ec) {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        SSL_set1_host(ssl, host.c_str());
    } else {
        // An IP literal is matched against the certificate's IP addresses.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str());
    }
}

std::string DescribeHandshakeFailure(SSL* ssl, const boost::system::error_code& ec)
{
    if (ssl) {
        const long verify = SSL_get_verify_result(ssl);
        if (verify != X509_V_OK)
            return std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
    }
    if (ec == boost::asio::error::timed_out || ec == boost::beast::error::timeout)
        return "handshake timed out";
    if (ec.category() == boost::asio::error::get_ssl_category()) {
        const char* reason = ERR_reason_error_string(static_cast<unsigned long>(ec.value()));
        if (reason)
            return reason;
    }
    if (ec == boost::asio::ssl::error::stream_truncated || ec == boost::asio::error::eof ||
        ec == boost::asio::error::connection_reset)
        return "the server closed the connection during the handshake";
    return ec.message();
}

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
