#include "JobStore.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>

namespace _GATEWAY {

namespace {

// A prepared statement, finalized when it goes.
class STATEMENT {
public:
    STATEMENT(sqlite3* db, const char* sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &Stmt_, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("SQLite: ") + sqlite3_errmsg(db));
    }
    ~STATEMENT() { sqlite3_finalize(Stmt_); }
    STATEMENT(const STATEMENT&) = delete;
    STATEMENT& operator=(const STATEMENT&) = delete;

    STATEMENT& Bind(int at, std::int64_t v)
    {
        sqlite3_bind_int64(Stmt_, at, v);
        return *this;
    }
    STATEMENT& Bind(int at, const std::string& v)
    {
        sqlite3_bind_text(Stmt_, at, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    STATEMENT& BindBlob(int at, const std::string& v)
    {
        sqlite3_bind_blob64(Stmt_, at, v.data(), v.size(), SQLITE_STATIC);
        return *this;
    }
    // True while a row is there; throws on errors.
    bool Step()
    {
        const int rc = sqlite3_step(Stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        Fail(rc);
        return false;
    }
    std::int64_t Int(int col) { return sqlite3_column_int64(Stmt_, col); }
    std::string Text(int col)
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(Stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(Stmt_, col))) : std::string();
    }
    std::string Blob(int col)
    {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(Stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(Stmt_, col))) : std::string();
    }

private:
    void Fail(int rc)
    {
        const std::string what = std::string("SQLite: ") + sqlite3_errmsg(sqlite3_db_handle(Stmt_));
        const int primary = rc & 0xff;
        if (primary == SQLITE_FULL || primary == SQLITE_IOERR || primary == SQLITE_READONLY ||
            primary == SQLITE_CANTOPEN)
            throw STORE_FULL(what);
        throw std::runtime_error(what);
    }
    sqlite3_stmt* Stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        const std::string what = std::string("SQLite: ") + (error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        const int primary = rc & 0xff;
        if (primary == SQLITE_FULL || primary == SQLITE_IOERR || primary == SQLITE_READONLY)
            throw STORE_FULL(what);
        throw std::runtime_error(what);
    }
}

JOB_STATE StateOf(const std::string& text)
{
    return text == "sent" ? JOB_STATE::Sent : text == "expired" ? JOB_STATE::Expired : JOB_STATE::Queued;
}

const char* const COLUMNS = "id, printer, state, created, sent, bytes";

JOB ReadJob(STATEMENT& s)
{
    JOB job;
    job.Id = s.Int(0);
    job.Printer = s.Text(1);
    job.State = StateOf(s.Text(2));
    job.Created = s.Int(3);
    job.Sent = s.Int(4);
    job.Bytes = s.Int(5);
    return job;
}

}  // namespace

const char* StateName(JOB_STATE state)
{
    switch (state) {
    case JOB_STATE::Queued: return "queued";
    case JOB_STATE::Sent: return "sent";
    case JOB_STATE::Expired: return "expired";
    }
    return "queued";
}

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string IsoTime(std::int64_t ms)
{
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

JOB_STORE::JOB_STORE(const std::string& path)
{
    if (sqlite3_open_v2(path.c_str(), &Db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        const std::string what = Db_ ? sqlite3_errmsg(Db_) : "out of memory";
        sqlite3_close(Db_);
        Db_ = nullptr;
        throw std::runtime_error("cannot open " + path + ": " + what);
    }
    try {
        sqlite3_busy_timeout(Db_, 5000);
        Exec(Db_, "PRAGMA journal_mode=WAL;"
                  "PRAGMA synchronous=FULL;"
                  "CREATE TABLE IF NOT EXISTS jobs ("
                  "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
                  "  printer TEXT NOT NULL,"
                  "  state TEXT NOT NULL DEFAULT 'queued',"
                  "  created INTEGER NOT NULL,"
                  "  sent INTEGER NOT NULL DEFAULT 0,"
                  "  bytes INTEGER NOT NULL,"
                  "  png BLOB NOT NULL);"
                  "CREATE INDEX IF NOT EXISTS jobs_queue ON jobs (printer, state, id);");
    } catch (const std::exception& e) {
        sqlite3_close(Db_);
        Db_ = nullptr;
        throw std::runtime_error("cannot use " + path + ": " + e.what());
    }
    Writer_ = std::thread([this] { Writer(); });
}

JOB_STORE::~JOB_STORE()
{
    {
        std::lock_guard<std::mutex> lock(QueueMutex_);
        Stopping_ = true;
    }
    Wake_.notify_all();
    Writer_.join();
    sqlite3_close(Db_);
}

// Takes every write that is waiting and commits them together.
void JOB_STORE::Writer()
{
    for (;;) {
        std::deque<std::shared_ptr<WRITE>> batch;
        {
            std::unique_lock<std::mutex> lock(QueueMutex_);
            Wake_.wait(lock, [this] { return Stopping_ || !Pending_.empty(); });
            if (Pending_.empty())
                return;
            batch.swap(Pending_);
        }
        std::exception_ptr failed;
        {
            std::lock_guard<std::mutex> lock(DbMutex_);
            try {
                Exec(Db_, "BEGIN IMMEDIATE");
                for (auto& w : batch) {
                    // One write failing on its own (a bad statement) fails
                    // alone; the others of the batch go on.
                    Exec(Db_, "SAVEPOINT one");
                    try {
                        w->Apply(Db_);
                        Exec(Db_, "RELEASE one");
                    } catch (...) {
                        w->Error = std::current_exception();
                        Exec(Db_, "ROLLBACK TO one");
                        Exec(Db_, "RELEASE one");
                    }
                }
                Exec(Db_, "COMMIT");
            } catch (...) {
                failed = std::current_exception();
                sqlite3_exec(Db_, "ROLLBACK", nullptr, nullptr, nullptr);
            }
        }
        {
            std::lock_guard<std::mutex> lock(QueueMutex_);
            for (auto& w : batch) {
                if (failed)
                    w->Error = failed;
                w->Done = true;
            }
        }
        Committed_.notify_all();
    }
}

void JOB_STORE::Write(const std::function<void(sqlite3*)>& apply)
{
    auto write = std::make_shared<WRITE>();
    write->Apply = apply;
    {
        std::lock_guard<std::mutex> lock(QueueMutex_);
        if (Stopping_)
            throw std::runtime_error("the job store is closing");
        Pending_.push_back(write);
    }
    Wake_.notify_one();
    std::unique_lock<std::mutex> lock(QueueMutex_);
    Committed_.wait(lock, [&] { return write->Done; });
    if (write->Error)
        std::rethrow_exception(write->Error);
}

JOB JOB_STORE::Submit(const std::string& printer, const std::string& png)
{
    JOB job;
    job.Printer = printer;
    job.Created = NowMs();
    job.Bytes = static_cast<std::int64_t>(png.size());
    Write([&](sqlite3* db) {
        STATEMENT s(db, "INSERT INTO jobs (printer, created, bytes, png) VALUES (?, ?, ?, ?)");
        s.Bind(1, printer).Bind(2, job.Created).Bind(3, job.Bytes).BindBlob(4, png);
        s.Step();
        job.Id = sqlite3_last_insert_rowid(db);
    });
    return job;
}

std::optional<std::pair<JOB, std::string>> JOB_STORE::NextQueued(const std::string& printer)
{
    std::lock_guard<std::mutex> lock(DbMutex_);
    STATEMENT s(Db_, "SELECT id, printer, state, created, sent, bytes, png FROM jobs "
                     "WHERE printer = ? AND state = 'queued' ORDER BY id LIMIT 1");
    s.Bind(1, printer);
    if (!s.Step())
        return std::nullopt;
    return std::make_pair(ReadJob(s), s.Blob(6));
}

bool JOB_STORE::MarkSent(std::int64_t id, std::int64_t when)
{
    bool changed = false;
    Write([&](sqlite3* db) {
        STATEMENT s(db, "UPDATE jobs SET state = 'sent', sent = ? WHERE id = ? AND state = 'queued'");
        s.Bind(1, when).Bind(2, id);
        s.Step();
        changed = sqlite3_changes(db) > 0;
    });
    return changed;
}

std::vector<JOB> JOB_STORE::Expire(std::int64_t before)
{
    std::vector<JOB> expired;
    Write([&](sqlite3* db) {
        STATEMENT s(db, "UPDATE jobs SET state = 'expired' WHERE state = 'queued' AND created < ? "
                        "RETURNING id, printer, state, created, sent, bytes");
        s.Bind(1, before);
        while (s.Step())
            expired.push_back(ReadJob(s));
    });
    return expired;
}

std::optional<JOB> JOB_STORE::Get(std::int64_t id)
{
    std::lock_guard<std::mutex> lock(DbMutex_);
    STATEMENT s(Db_, (std::string("SELECT ") + COLUMNS + " FROM jobs WHERE id = ?").c_str());
    s.Bind(1, id);
    if (!s.Step())
        return std::nullopt;
    return ReadJob(s);
}

std::vector<JOB> JOB_STORE::Newest(const std::string& printer, int limit)
{
    std::lock_guard<std::mutex> lock(DbMutex_);
    const std::string sql = std::string("SELECT ") + COLUMNS + " FROM jobs" +
                            (printer.empty() ? "" : " WHERE printer = ?") + " ORDER BY id DESC LIMIT ?";
    STATEMENT s(Db_, sql.c_str());
    int at = 1;
    if (!printer.empty())
        s.Bind(at++, printer);
    s.Bind(at, static_cast<std::int64_t>(limit));
    std::vector<JOB> jobs;
    while (s.Step())
        jobs.push_back(ReadJob(s));
    return jobs;
}

std::vector<std::string> JOB_STORE::PrintersWithQueuedJobs()
{
    std::lock_guard<std::mutex> lock(DbMutex_);
    STATEMENT s(Db_, "SELECT DISTINCT printer FROM jobs WHERE state = 'queued'");
    std::vector<std::string> names;
    while (s.Step())
        names.push_back(s.Text(0));
    return names;
}

}  // namespace _GATEWAY
