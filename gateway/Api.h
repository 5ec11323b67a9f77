#pragma once
// The gateway's HTTP API and page (see README, "printserve: the print
// gateway"):
//   POST /api/jobs?printer=NAME   the PNG as body: 201 and the job
//   GET  /api/jobs/N              one job
//   GET  /api/jobs?printer=&limit the newest jobs
//   GET  /api/printers            the connected clients
//   GET  /api/events              the live feed (server-sent events)
//   GET  /                        the page (and /style.css, /app.js)
// With a token every /api/ request needs "Authorization: Bearer <token>".

#include <string>

#include "Events.h"
#include "HttpServer.h"
#include "JobStore.h"
#include "PrintClients.h"

namespace _GATEWAY {

// The largest PNG a job may carry: its "Print" message (Base64 in the JSON
// envelope) must fit into the 64 MiB a client accepts.
constexpr std::size_t MAX_PNG_BYTES = (64u * 1024u * 1024u - 128u) / 4u * 3u;

// PNG signature, and a first chunk that is a readable IHDR.
bool LooksLikePng(const std::string& bytes);

std::string JobJson(const JOB& job);
std::string ClientsJson(const std::vector<CLIENT_INFO>& clients);

class API : public HTTP_HANDLER {
public:
    // An empty token: no token needed.
    API(JOB_STORE& store, PRINT_CLIENTS& clients, EVENTS& events, std::string token);

    std::unique_ptr<HTTP_RESPONSE> Check(const HTTP_REQUEST& head) override;
    HTTP_RESPONSE Handle(HTTP_REQUEST& request, bool& stream) override;
    void Streaming(const std::shared_ptr<EVENT_STREAM>& stream) override;

private:
    bool Authorized(const HTTP_REQUEST& request) const;
    HTTP_RESPONSE Submit(const HTTP_REQUEST& request);
    HTTP_RESPONSE ListJobs(const HTTP_REQUEST& request);
    std::string Hello();

    JOB_STORE& Store_;
    PRINT_CLIENTS& Clients_;
    EVENTS& Events_;
    std::string TokenDigest_;   // SHA-256 of the token, empty without one
};

}  // namespace _GATEWAY
