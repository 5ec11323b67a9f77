#include "PrintClients.h"

#include <algorithm>

#include "Codec/Base64.h"
#include "Log.h"

namespace _GATEWAY {

PRINT_CLIENTS::PRINT_CLIENTS(JOB_STORE& store, std::function<void(const JOB&)> job_changed,
                             std::function<void()> clients_changed)
    : Store_(store), JobChanged_(std::move(job_changed)), ClientsChanged_(std::move(clients_changed))
{
}

std::string PRINT_CLIENTS::PrintMessage(std::int64_t id, const std::string& png)
{
    // Compact, members in the byte order of their keys; Base64 needs no
    // escaping. The packet number is the job's, as a 32-bit number.
    return "{\"_DATA\":{\"Data\":\"" + _CODEC::BASE64::Encode(png).value_or("") + "\"},\"_ID\":" +
           std::to_string(static_cast<_INT>(id)) + ",\"_MAGIC\":\"SERVER_MSG\",\"_TYPE\":\"Print\"}";
}

void PRINT_CLIENTS::Connected(const _OBJ<_NET::IWebSocket>& peer)
{
    const void* key = nullptr;
    _STRING address;
    if (!_NET::DescribePeer(peer, key, address))
        return;
    auto client = std::make_shared<CLIENT>();
    client->Peer = peer;
    client->Info.Address = address;
    client->Info.ConnectedSince = NowMs();
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        ByKey_[key] = client;
    }
    LogEvent("client_connected", {{"address", address}});
}

void PRINT_CLIENTS::Greeted(const _OBJ<_NET::IWebSocket>& peer, const std::string& name)
{
    const void* key = nullptr;
    _STRING address;
    if (!_NET::DescribePeer(peer, key, address))
        return;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        auto it = ByKey_.find(key);
        if (it == ByKey_.end())
            return;
        auto client = it->second;
        Order_.erase(std::remove(Order_.begin(), Order_.end(), client), Order_.end());
        client->Info.Name = name;
        Order_.push_back(client);   // the newest of its name
    }
    LogEvent("client_greeted", {{"name", name}, {"address", address}});
    ClientsChanged_();
    Deliver(name);
}

void PRINT_CLIENTS::Disconnected(const _OBJ<_NET::IWebSocket>& peer)
{
    const void* key = nullptr;
    _STRING address;
    if (!_NET::DescribePeer(peer, key, address))
        return;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        auto it = ByKey_.find(key);
        if (it == ByKey_.end())
            return;
        auto client = it->second;
        client->Gone = true;
        name = client->Info.Name;
        ByKey_.erase(it);
        Order_.erase(std::remove(Order_.begin(), Order_.end(), client), Order_.end());
    }
    LogEvent("client_disconnected", {{"name", name}, {"address", address}});
    if (!name.empty()) {
        ClientsChanged_();
        Deliver(name);   // an older client of the name may take over
    }
}

std::shared_ptr<PRINT_CLIENTS::CLIENT> PRINT_CLIENTS::Newest(const std::string& name) const
{
    for (auto it = Order_.rbegin(); it != Order_.rend(); ++it)
        if ((*it)->Info.Name == name && !(*it)->Gone)
            return *it;
    return nullptr;
}

void PRINT_CLIENTS::Deliver(const std::string& printer)
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        if (Active_.count(printer)) {
            Again_.insert(printer);   // the running loop looks again before it ends
            return;
        }
        Active_.insert(printer);
    }
    Drive(printer);
}

// The delivery loop of one name; whoever runs it owns the name in Active_.
// It ends when no client or no job is left, and goes on from the send's
// completion otherwise.
void PRINT_CLIENTS::Drive(const std::string& name)
{
    for (;;) {
        std::shared_ptr<CLIENT> client;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Again_.erase(name);
            client = Newest(name);
            if (!client) {
                Active_.erase(name);
                return;
            }
        }
        std::optional<std::pair<JOB, std::string>> next;
        try {
            next = Store_.NextQueued(name);
        } catch (const std::exception& e) {
            LogEvent("store_error", {{"error", e.what()}});
        }
        if (!next) {
            std::lock_guard<std::mutex> lock(Mutex_);
            if (Again_.count(name))
                continue;
            Active_.erase(name);
            return;
        }
        const JOB job = next->first;
        std::string message = PrintMessage(job.Id, next->second);
        next.reset();
        _NET::SendTextThen(client->Peer, message, [this, name, client, job](bool delivered) {
            if (delivered) {
                try {
                    if (Store_.MarkSent(job.Id, NowMs())) {
                        JOB sent = job;
                        sent.State = JOB_STATE::Sent;
                        sent.Sent = NowMs();
                        {
                            std::lock_guard<std::mutex> lock(Mutex_);
                            ++client->Info.JobsSent;
                        }
                        LogEvent("job_sent", {{"id", sent.Id}, {"printer", name}, {"address", client->Info.Address}});
                        JobChanged_(sent);
                        ClientsChanged_();
                    }
                } catch (const std::exception& e) {
                    LogEvent("store_error", {{"error", e.what()}, {"id", job.Id}});
                }
            } else {
                // The connection went before the client had the job: it
                // stays queued for the next client of the name.
                std::lock_guard<std::mutex> lock(Mutex_);
                client->Gone = true;
            }
            Drive(name);
        });
        return;
    }
}

std::vector<CLIENT_INFO> PRINT_CLIENTS::Clients() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    std::vector<CLIENT_INFO> out;
    for (const auto& c : Order_)
        if (!c->Gone)
            out.push_back(c->Info);
    return out;
}

bool PRINT_CLIENTS::Idle() const
{
    std::lock_guard<std::mutex> lock(Mutex_);
    return Active_.empty();
}

}  // namespace _GATEWAY
