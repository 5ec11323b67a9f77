#pragma once
// The gateway's durable job queue, in SQLite (WAL, synchronous=FULL): a job
// is on disk before Submit returns, so no accepted job is lost by a crash,
// even kill -9 or a power cut. Writes from every thread go through one
// writer thread that commits whatever is waiting in one transaction (group
// commit): many submitters share one disk flush.
//
// A job is queued until it has been written to its printer's connection
// (then sent) or until it is older than the time to live (then expired).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;

namespace _GATEWAY {

enum class JOB_STATE { Queued, Sent, Expired };
const char* StateName(JOB_STATE state);

struct JOB {
    std::int64_t Id = 0;
    std::string Printer;
    JOB_STATE State = JOB_STATE::Queued;
    std::int64_t Created = 0;   // milliseconds since 1970 (UTC)
    std::int64_t Sent = 0;      // 0 while not sent
    std::int64_t Bytes = 0;     // of the PNG
};

// The store cannot take a job: the disk is full or failing (the API's 507).
struct STORE_FULL : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class JOB_STORE {
public:
    // Opens or creates the database; throws std::runtime_error with the
    // reason when it cannot.
    explicit JOB_STORE(const std::string& path);
    ~JOB_STORE();

    JOB_STORE(const JOB_STORE&) = delete;
    JOB_STORE& operator=(const JOB_STORE&) = delete;

    // Adds a queued job; returns once it is committed. STORE_FULL when the
    // database cannot take it, std::runtime_error on other failures.
    JOB Submit(const std::string& printer, const std::string& png);

    // The oldest queued job of a printer, with its PNG.
    std::optional<std::pair<JOB, std::string>> NextQueued(const std::string& printer);

    // Queued to sent, at `when`; false when the job was not queued.
    bool MarkSent(std::int64_t id, std::int64_t when);

    // Queued jobs created before `before` become expired; returns them.
    std::vector<JOB> Expire(std::int64_t before);

    std::optional<JOB> Get(std::int64_t id);
    // Newest first; all printers when `printer` is empty.
    std::vector<JOB> Newest(const std::string& printer, int limit);
    // Queued jobs by printer name.
    std::vector<std::string> PrintersWithQueuedJobs();

private:
    struct WRITE {
        std::function<void(sqlite3*)> Apply;   // runs inside the batch's transaction
        std::exception_ptr Error;
        bool Done = false;
    };

    void Writer();
    void Write(const std::function<void(sqlite3*)>& apply);

    sqlite3* Db_ = nullptr;
    std::mutex DbMutex_;   // one user of the connection at a time
    std::mutex QueueMutex_;
    std::condition_variable Wake_, Committed_;
    std::deque<std::shared_ptr<WRITE>> Pending_;
    bool Stopping_ = false;
    std::thread Writer_;
};

// Milliseconds since 1970 (UTC), now.
std::int64_t NowMs();
// "2026-12-09T08:15:02.123Z"
std::string IsoTime(std::int64_t ms);

}  // namespace _GATEWAY
