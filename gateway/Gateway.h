#pragma once
// printserve's print gateway: the WebSocket listener where print clients
// greet, the durable job queue, the delivery to clients, the expiry of jobs
// nobody came for, and the HTTP API with its page, put together.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Api.h"
#include "Events.h"
#include "HttpServer.h"
#include "JobStore.h"
#include "PrintClients.h"
#include "WebSocket.h"

namespace _GATEWAY {

struct GATEWAY_OPTIONS {
    std::uint16_t WsPort = 5905;
    std::string HttpHost = "127.0.0.1";
    std::uint16_t HttpPort = 8080;
    std::string Database;
    std::int64_t TtlMs = 24LL * 3600 * 1000;
    std::string Token;              // empty: the API needs none
    std::string CertificatePem;     // with KeyPem: wss:// and HTTPS only
    std::string KeyPem;
    // PNG files (path, bytes) queued for every client that greets, or for
    // the clients greeting as `To` only.
    std::vector<std::pair<std::string, std::string>> Files;
    std::string To;
};

// Why the gateway cannot start, with printserve's exit status for it.
struct GATEWAY_ERROR : std::runtime_error {
    GATEWAY_ERROR(int status, const std::string& what) : std::runtime_error(what), ExitStatus(status) {}
    int ExitStatus;
};

// Whether a certificate chain and a private key (PEM) make a pair a TLS
// server can use; the reason in `error` when not.
bool CheckCertificate(const std::string& chain_pem, const std::string& key_pem, std::string& error);

class GATEWAY {
public:
    explicit GATEWAY(GATEWAY_OPTIONS options);   // throws GATEWAY_ERROR
    ~GATEWAY();

    GATEWAY(const GATEWAY&) = delete;
    GATEWAY& operator=(const GATEWAY&) = delete;

    // Takes no more jobs, finishes the sends under way (at most 10 s) and
    // closes every client with 1001. Returns once all has stopped.
    void Stop();

    std::uint16_t HttpPort() const { return Http_->Port(); }

private:
    void Greeted(const _OBJ<_NET::IWebSocket>& peer, const std::string& name);
    void ExpireLoop();

    GATEWAY_OPTIONS Options_;
    std::unique_ptr<JOB_STORE> Store_;
    std::unique_ptr<EVENTS> Events_;
    std::unique_ptr<PRINT_CLIENTS> Clients_;
    std::unique_ptr<API> Api_;
    std::unique_ptr<HTTP_SERVER> Http_;
    _OBJ<_NET::IWebSocketJsonProcessor> Processor_;
    _OBJ<_NET::IWebSocketListener> Listener_;
    std::mutex ExpireMutex_;
    std::condition_variable ExpireWake_;
    bool Stopping_ = false;
    std::thread Expire_;
};

}  // namespace _GATEWAY
