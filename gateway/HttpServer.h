#pragma once
// The gateway's HTTP server (Boost.Beast): HTTP/1.1 with keep-alive, over
// TCP or TLS, on a few threads of its own. Requests go to one handler that
// answers each with a response, or turns the connection into an event
// stream (server-sent events). A request may say "Expect: 100-continue":
// its head is shown to the handler first (Check), which may refuse it before
// the body is sent.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace _GATEWAY {

struct HTTP_REQUEST {
    std::string Method;
    std::string Path;                          // the target without its query
    std::map<std::string, std::string> Query;  // decoded
    std::string Authorization;
    std::string ContentType;
    std::uint64_t ContentLength = 0;           // as announced
    std::string Body;
    std::string Peer;                          // "a.b.c.d:port"
};

struct HTTP_RESPONSE {
    int Status = 200;
    std::string ContentType = "application/json";
    std::string Body;
    std::vector<std::pair<std::string, std::string>> Headers;
};

// An open event stream. Push queues text for the client; false once the
// client has gone.
class EVENT_STREAM {
public:
    virtual ~EVENT_STREAM() = default;
    virtual bool Push(const std::string& text) = 0;
    virtual bool Open() const = 0;
};

class HTTP_HANDLER {
public:
    virtual ~HTTP_HANDLER() = default;
    // Before the body: a response refuses the request (nothing when it may go on).
    virtual std::unique_ptr<HTTP_RESPONSE> Check(const HTTP_REQUEST& head) = 0;
    // The whole request. `stream` is set when the handler wants an event
    // stream: the response is then the stream's head (status 200).
    virtual HTTP_RESPONSE Handle(HTTP_REQUEST& request, bool& stream) = 0;
    // The event stream of a request Handle chose to stream.
    virtual void Streaming(const std::shared_ptr<EVENT_STREAM>& stream) = 0;
};

class HTTP_SERVER {
public:
    // Listens on host:port; throws std::runtime_error with the reason when it
    // cannot. With a certificate chain and key (PEM), HTTPS only.
    HTTP_SERVER(const std::string& host, std::uint16_t port, HTTP_HANDLER& handler, std::size_t max_body,
                const std::string& chain_pem = "", const std::string& key_pem = "");
    ~HTTP_SERVER();   // stops

    HTTP_SERVER(const HTTP_SERVER&) = delete;
    HTTP_SERVER& operator=(const HTTP_SERVER&) = delete;

    std::uint16_t Port() const;
    // Stops accepting and closes every connection; returns once its
    // threads have ended.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace _GATEWAY
