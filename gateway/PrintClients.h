#pragma once
// The print clients connected to the gateway, and the delivery of their
// jobs. A client counts under the name it greeted with ("Initialize"); of
// several under one name the newest receives the jobs. Per name one job is
// on its way at a time, oldest first: it is sent as a "Print" server
// message, and marked sent once the client has it (it answered a ping sent
// right after the message); when the connection is gone first, the job
// stays queued and goes to the next client of that name, or waits for one.
// So a job reaches its printer at least once: a link lost between the
// message and the answer sends it again.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Core/CoreJson.h"
#include "JobStore.h"
#include "WebSocket.h"

namespace _GATEWAY {

struct CLIENT_INFO {
    std::string Name;
    std::string Address;
    std::int64_t ConnectedSince = 0;   // ms since 1970
    std::int64_t JobsSent = 0;
};

class PRINT_CLIENTS {
public:
    // Told of every job that changes state, and of every change of the
    // connected clients (for the event feed).
    PRINT_CLIENTS(JOB_STORE& store, std::function<void(const JOB&)> job_changed,
                  std::function<void()> clients_changed);

    // The listener's events (any thread).
    void Connected(const _OBJ<_NET::IWebSocket>& peer);
    void Greeted(const _OBJ<_NET::IWebSocket>& peer, const std::string& name);
    void Disconnected(const _OBJ<_NET::IWebSocket>& peer);

    // A job was queued for `printer`: deliver it if a client is there.
    void Deliver(const std::string& printer);

    // The named clients, in the order they greeted.
    std::vector<CLIENT_INFO> Clients() const;
    // Whether no job is on its way to a client.
    bool Idle() const;

    // The "Print" server message of a job (the bytes PostServerMsg would send).
    static std::string PrintMessage(std::int64_t id, const std::string& png);

private:
    struct CLIENT {
        _OBJ<_NET::IWebSocket> Peer;
        CLIENT_INFO Info;
        bool Gone = false;
    };

    void Drive(const std::string& name);
    std::shared_ptr<CLIENT> Newest(const std::string& name) const;   // under Mutex_

    JOB_STORE& Store_;
    std::function<void(const JOB&)> JobChanged_;
    std::function<void()> ClientsChanged_;
    mutable std::mutex Mutex_;
    std::map<const void*, std::shared_ptr<CLIENT>> ByKey_;
    std::vector<std::shared_ptr<CLIENT>> Order_;   // named clients, oldest greeting first
    std::set<std::string> Active_;   // names whose delivery loop runs
    std::set<std::string> Again_;    // names to look at again when their loop ends
};

}  // namespace _GATEWAY
