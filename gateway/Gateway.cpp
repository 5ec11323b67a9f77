#include "Gateway.h"

#include <algorithm>
#include <chrono>

#include <boost/asio/ssl.hpp>

#include "Log.h"

namespace _GATEWAY {

bool CheckCertificate(const std::string& chain_pem, const std::string& key_pem, std::string& error)
{
    boost::asio::ssl::context context(boost::asio::ssl::context::tls_server);
    boost::system::error_code ec;
    context.use_certificate_chain(boost::asio::buffer(chain_pem), ec);
    if (!ec)
        context.use_private_key(boost::asio::buffer(key_pem), boost::asio::ssl::context::pem, ec);
    if (ec)
        error = ec.message();
    return !ec;
}

GATEWAY::GATEWAY(GATEWAY_OPTIONS options) : Options_(std::move(options))
{
    try {
        Store_ = std::make_unique<JOB_STORE>(Options_.Database);
    } catch (const std::exception& e) {
        throw GATEWAY_ERROR(4, e.what());
    }
    Events_ = std::make_unique<EVENTS>();
    // Events_ goes in Stop, once no client and no request can call these.
    Clients_ = std::make_unique<PRINT_CLIENTS>(
        *Store_,
        [this](const JOB& job) {
            if (Events_)
                Events_->Publish("job", JobJson(job));
        },
        [this] {
            if (Events_)
                Events_->Publish("printers", ClientsJson(Clients_->Clients()));
        });
    Api_ = std::make_unique<API>(*Store_, *Clients_, *Events_, Options_.Token);
    try {
        Http_ = std::make_unique<HTTP_SERVER>(Options_.HttpHost, Options_.HttpPort, *Api_, MAX_PNG_BYTES,
                                              Options_.CertificatePem, Options_.KeyPem);
    } catch (const std::exception& e) {
        throw GATEWAY_ERROR(3, std::string("HTTP: ") + e.what());
    }

    Processor_ = _NET::IWebSocketJsonProcessor::New();
    Processor_->Case("Initialize", [this](_OBJ<_NET::IWebSocket> peer, const _JSON& request) -> std::optional<_JSON> {
        const auto name = request.find("Name");
        if (name == request.end() || !name->is_string() || name->get_ref<const std::string&>().empty())
            return _JSON{{"_OK", false}};
        Greeted(peer, name->get<std::string>());
        return _JSON{{"_OK", true}};
    });
    const auto on_connection = [this](_OBJ<_NET::IWebSocket> peer, bool connected) {
        if (connected)
            Clients_->Connected(peer);
        else
            Clients_->Disconnected(peer);
    };
    const auto on_msg = [this](_OBJ<_NET::IWebSocket> peer, const _STRING& data, _NET::IWebSocket::OPCODE) {
        Processor_->Execute(peer, data);
    };
    if (Options_.CertificatePem.empty()) {
        Listener_ = _NET::IWebSocketListener::New(Options_.WsPort, on_connection, on_msg);
        if (!Listener_)
            throw GATEWAY_ERROR(3, "cannot listen on port " + std::to_string(Options_.WsPort) + " (is it in use?)");
    } else {
        std::string error;
        Listener_ = _NET::IWebSocketListener::NewSecure(Options_.WsPort, on_connection, on_msg,
                                                        {Options_.CertificatePem, Options_.KeyPem}, &error);
        if (!Listener_)
            throw GATEWAY_ERROR(3, "cannot listen on port " + std::to_string(Options_.WsPort) + ": " + error);
    }
    Expire_ = std::thread([this] { ExpireLoop(); });
    LogEvent("started", {{"ws_port", static_cast<int>(Options_.WsPort)},
                         {"tls", Options_.CertificatePem.empty() ? "no" : "yes"},
                         {"http", Options_.HttpHost + ":" + std::to_string(Http_->Port())},
                         {"database", Options_.Database},
                         {"files", static_cast<int>(Options_.Files.size())}});
}

GATEWAY::~GATEWAY()
{
    Stop();
}

void GATEWAY::Greeted(const _OBJ<_NET::IWebSocket>& peer, const std::string& name)
{
    // The files of the command line: queued anew for each greeting of a
    // client they are for, as they were sent to each greeting before.
    if (!Options_.To.empty() && Options_.To != name) {
        Clients_->Greeted(peer, name);
        return;
    }
    for (const auto& file : Options_.Files) {
        try {
            const JOB job = Store_->Submit(name, file.second);
            LogEvent("job_queued", {{"id", job.Id}, {"printer", name}, {"bytes", job.Bytes}, {"file", file.first}});
            Events_->Publish("job", JobJson(job));
        } catch (const std::exception& e) {
            LogEvent("store_error", {{"printer", name}, {"file", file.first}, {"error", e.what()}});
        }
    }
    Clients_->Greeted(peer, name);
}

void GATEWAY::ExpireLoop()
{
    const auto every = std::chrono::milliseconds(std::clamp<std::int64_t>(Options_.TtlMs / 4, 1000, 60000));
    std::unique_lock<std::mutex> lock(ExpireMutex_);
    do {
        lock.unlock();
        try {
            for (const JOB& job : Store_->Expire(NowMs() - Options_.TtlMs)) {
                LogEvent("job_expired", {{"id", job.Id}, {"printer", job.Printer}});
                Events_->Publish("job", JobJson(job));
            }
        } catch (const std::exception& e) {
            LogEvent("store_error", {{"error", e.what()}});
        }
        lock.lock();
    } while (!ExpireWake_.wait_for(lock, every, [this] { return Stopping_; }));
}

void GATEWAY::Stop()
{
    {
        std::lock_guard<std::mutex> lock(ExpireMutex_);
        if (Stopping_)
            return;
        Stopping_ = true;
    }
    ExpireWake_.notify_all();
    if (Expire_.joinable())
        Expire_.join();
    // No new jobs; the sends under way are finished before the clients go.
    if (Http_)
        Http_->Stop();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Clients_ && !Clients_->Idle() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (Listener_.IsValid())
        Listener_->Stop();   // every client closed with 1001
    Listener_ = nullptr;
    Events_.reset();
    LogEvent("stopped");
}

}  // namespace _GATEWAY
