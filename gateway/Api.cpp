#include "Api.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "Assets.h"
#include "Log.h"

namespace _GATEWAY {

namespace {

HTTP_RESPONSE Json(int status, const _JSON& body)
{
    return HTTP_RESPONSE{status, "application/json", _NET::SerializeJson(body), {{"Cache-Control", "no-store"}}};
}

HTTP_RESPONSE Error(int status, const std::string& text)
{
    return Json(status, _JSON{{"error", text}});
}

std::string Sha256(const std::string& text)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof(digest));
}

_JSON JobValue(const JOB& job)
{
    return _JSON{{"id", job.Id},
                 {"printer", job.Printer},
                 {"state", StateName(job.State)},
                 {"created", IsoTime(job.Created)},
                 {"sent", job.Sent ? _JSON(IsoTime(job.Sent)) : _JSON(nullptr)},
                 {"bytes", job.Bytes}};
}

_JSON ClientsValue(const std::vector<CLIENT_INFO>& clients)
{
    _JSON list = _JSON::array();
    for (const CLIENT_INFO& c : clients)
        list.push_back(_JSON{{"name", c.Name},
                             {"address", c.Address},
                             {"connected_since", IsoTime(c.ConnectedSince)},
                             {"jobs_sent", c.JobsSent}});
    return list;
}

bool AllDigits(const std::string& text)
{
    return !text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool LooksLikePng(const std::string& bytes)
{
    static const char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 33 || bytes.compare(0, 8, SIGNATURE, 8) != 0)
        return false;
    const auto u32 = [&](std::size_t at) {
        return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) << 24) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8) |
               static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3]));
    };
    return u32(8) == 13 && bytes.compare(12, 4, "IHDR") == 0 && u32(16) > 0 && u32(20) > 0;
}

std::string JobJson(const JOB& job)
{
    return _NET::SerializeJson(JobValue(job));
}

std::string ClientsJson(const std::vector<CLIENT_INFO>& clients)
{
    return _NET::SerializeJson(ClientsValue(clients));
}

API::API(JOB_STORE& store, PRINT_CLIENTS& clients, EVENTS& events, std::string token)
    : Store_(store), Clients_(clients), Events_(events), TokenDigest_(token.empty() ? "" : Sha256(token))
{
}

// Digests of equal length compared in constant time: neither the token's
// length nor its bytes can be learnt from the time an answer takes.
bool API::Authorized(const HTTP_REQUEST& request) const
{
    if (TokenDigest_.empty())
        return true;
    const std::string prefix = "Bearer ";
    if (request.Authorization.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string given = Sha256(request.Authorization.substr(prefix.size()));
    return CRYPTO_memcmp(given.data(), TokenDigest_.data(), given.size()) == 0;
}

std::unique_ptr<HTTP_RESPONSE> API::Check(const HTTP_REQUEST& head)
{
    if (head.Path.rfind("/api/", 0) != 0)
        return nullptr;
    if (!Authorized(head))
        return std::make_unique<HTTP_RESPONSE>(Error(401, "a valid token is needed (Authorization: Bearer <token>)"));
    if (head.Method == "POST" && head.Path == "/api/jobs") {
        const auto printer = head.Query.find("printer");
        if (printer == head.Query.end() || printer->second.empty())
            return std::make_unique<HTTP_RESPONSE>(Error(400, "the printer is missing (?printer=NAME)"));
        if (head.ContentLength > MAX_PNG_BYTES)
            return std::make_unique<HTTP_RESPONSE>(Error(413, "a PNG may have at most " + std::to_string(MAX_PNG_BYTES) +
                                                                  " bytes"));
    }
    return nullptr;
}

HTTP_RESPONSE API::Handle(HTTP_REQUEST& request, bool& stream)
{
    if (request.Path.rfind("/api/", 0) != 0) {
        if (request.Method != "GET" && request.Method != "HEAD")
            return Error(405, "only GET");
        const ASSET* asset = FindAsset(request.Path == "/" ? "/index.html" : request.Path);
        if (!asset)
            return Error(404, "no such page");
        return HTTP_RESPONSE{200, asset->ContentType, std::string(asset->Data, asset->Size), {{"Cache-Control", "no-cache"}}};
    }
    if (request.Path == "/api/jobs") {
        if (request.Method == "POST")
            return Submit(request);
        if (request.Method == "GET")
            return ListJobs(request);
        return Error(405, "GET or POST");
    }
    if (request.Path.rfind("/api/jobs/", 0) == 0) {
        if (request.Method != "GET")
            return Error(405, "only GET");
        const std::string id = request.Path.substr(10);
        const auto job = AllDigits(id) ? Store_.Get(std::stoll(id)) : std::nullopt;
        return job ? Json(200, JobValue(*job)) : Error(404, "no job " + id);
    }
    if (request.Path == "/api/printers") {
        if (request.Method != "GET")
            return Error(405, "only GET");
        return Json(200, ClientsValue(Clients_.Clients()));
    }
    if (request.Path == "/api/events") {
        if (request.Method != "GET")
            return Error(405, "only GET");
        stream = true;
        return HTTP_RESPONSE{200, "text/event-stream", "", {}};
    }
    return Error(404, "no such API");
}

HTTP_RESPONSE API::Submit(const HTTP_REQUEST& request)
{
    const std::string printer = request.Query.at("printer");   // Check made sure it is there
    if (request.Body.size() > MAX_PNG_BYTES)
        return Error(413, "a PNG may have at most " + std::to_string(MAX_PNG_BYTES) + " bytes");
    if (!LooksLikePng(request.Body))
        return Error(415, "the body is not a PNG image");
    JOB job;
    try {
        job = Store_.Submit(printer, request.Body);
    } catch (const STORE_FULL& e) {
        LogEvent("store_full", {{"printer", printer}, {"error", e.what()}});
        return Error(507, "the job store cannot take the job: " + std::string(e.what()));
    }
    LogEvent("job_queued", {{"id", job.Id}, {"printer", printer}, {"bytes", job.Bytes}, {"from", request.Peer}});
    Events_.Publish("job", JobJson(job));
    Clients_.Deliver(printer);
    // The delivery may have gone out already.
    if (const auto now = Store_.Get(job.Id))
        job = *now;
    return Json(201, JobValue(job));
}

HTTP_RESPONSE API::ListJobs(const HTTP_REQUEST& request)
{
    int limit = 50;
    const auto given = request.Query.find("limit");
    if (given != request.Query.end()) {
        if (!AllDigits(given->second) || std::stoll(given->second) < 1)
            return Error(400, "limit must be a number from 1 to 1000");
        limit = static_cast<int>(std::min<long long>(std::stoll(given->second), 1000));
    }
    const auto printer = request.Query.find("printer");
    _JSON list = _JSON::array();
    for (const JOB& job : Store_.Newest(printer == request.Query.end() ? "" : printer->second, limit))
        list.push_back(JobValue(job));
    return Json(200, list);
}

std::string API::Hello()
{
    _JSON jobs = _JSON::array();
    for (const JOB& job : Store_.Newest("", 100))
        jobs.push_back(JobValue(job));
    return _NET::SerializeJson(_JSON{{"printers", ClientsValue(Clients_.Clients())}, {"jobs", jobs}});
}

void API::Streaming(const std::shared_ptr<EVENT_STREAM>& stream)
{
    Events_.Add(stream, [this] { return Hello(); });
}

}  // namespace _GATEWAY
