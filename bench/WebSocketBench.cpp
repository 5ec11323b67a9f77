// Benchmarks of the WebSocket layer on loopback: echo round trips and
// messages per second of our client against our listener next to the `ws`
// package's client against its own server (bench/ws_bench.js, run as a child
// process), over ws:// and over wss://; memory per idle connection of our
// listener; the time a client takes to open a link (TCP, TLS and WebSocket
// handshakes); and the time it takes to reconnect once a restarted listener
// is up again. The TLS cases use a throw-away CA made by
// scripts/lib/make_pki.sh.

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Core/CoreJson.h"
#include "Gcd/Gcd.h"
#include "Transport.h"
#include "WebSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using _NET::IWebSocket;
using _NET::IWebSocketListener;

const std::string NODE_SCRIPT = ZP_BENCH_DIR "/ws_bench.js";
const std::string NODE_PATH = "NODE_PATH=" ZP_NODE_MODULES;

double Micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

std::string Url(int port, bool tls = false)
{
    return std::string(tls ? "wss" : "ws") + "://127.0.0.1:" + std::to_string(port) + "/";
}

// The throw-away CA and the listener's certificate, made once.
struct PKI {
    std::string dir, chainPem, keyPem;
    std::string error;
};
const PKI& Pki()
{
    static const PKI pki = [] {
        PKI p;
        char dir[] = "/tmp/zp-bench-pki-XXXXXX";
        if (!mkdtemp(dir)) {
            p.error = "no temporary folder";
            return p;
        }
        p.dir = dir;
        if (std::system(("sh " ZP_SCRIPTS_DIR "/lib/make_pki.sh " + p.dir).c_str()) != 0) {
            p.error = "make_pki.sh failed";
            return p;
        }
        const auto read = [&](const std::string& name) {
            std::ifstream in(p.dir + "/" + name, std::ios::binary);
            return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        };
        p.chainPem = read("chain.pem");
        p.keyPem = read("server.key");
        if (!_NET::Transport::AddTrustedCertificates(read("ca.pem")))
            p.error = "the CA cannot be read";
        return p;
    }();
    return pki;
}

_OBJ<IWebSocketListener> Listen(int port, bool tls, IWebSocket::ON_CONNECTION on_connection, IWebSocket::ON_MSG on_msg)
{
    if (!tls)
        return IWebSocketListener::New(static_cast<unsigned short>(port), on_connection, on_msg);
    return IWebSocketListener::NewSecure(static_cast<unsigned short>(port), on_connection, on_msg,
                                         {Pki().chainPem, Pki().keyPem});
}

// ---- echo: round trips and messages per second ----

struct EchoPlan {
    std::size_t size;
    int rttCount;    // round trips measured, one message at a time
    int rateCount;   // messages sent for the rate, at most WINDOW in flight
    bool tls = false;
};

constexpr int WINDOW = 16;
const EchoPlan PLANS[] = {
    {100, 2000, 20000},
    {64 * 1024, 1000, 3000},
    {1024 * 1024, 200, 300},
};

struct EchoFigures {
    double p50 = 0, p99 = 0, mean = 0, msgsPerSecond = 0;
};

void ReportEcho(benchmark::State& state, const EchoPlan& plan, const EchoFigures& f)
{
    state.counters["rtt_p50_us"] = f.p50;
    state.counters["rtt_p99_us"] = f.p99;
    state.counters["rtt_mean_us"] = f.mean;
    state.counters["msgs_per_s"] = f.msgsPerSecond;
    state.counters["MB_per_s"] = f.msgsPerSecond * static_cast<double>(plan.size) / 1e6;
}

std::string Pattern(std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + 3) & 0xff);
    return s;
}

// The figures of this run by message size and TLS, for the ratios: the
// `ws` package's, and ours over ws:// (for what TLS costs us).
std::mutex WsFiguresMutex;
std::map<std::pair<std::size_t, bool>, EchoFigures> WsFigures;
std::map<std::size_t, EchoFigures> OursPlainFigures;

bool RunWsEcho(const EchoPlan& plan, EchoFigures& out, std::string& error)
{
    std::vector<std::string> env = {NODE_PATH};
    if (plan.tls) {
        if (!Pki().error.empty()) {
            error = Pki().error;
            return false;
        }
        env.push_back("ZP_BENCH_TLS_CERT=" + Pki().dir + "/chain.pem");
        env.push_back("ZP_BENCH_TLS_KEY=" + Pki().dir + "/server.key");
        env.push_back("ZP_BENCH_TLS_CA=" + Pki().dir + "/ca.pem");
    }
    bench::ChildProcess node({"node", NODE_SCRIPT, "echo", std::to_string(plan.size), std::to_string(plan.rttCount),
                              std::to_string(plan.rateCount), std::to_string(WINDOW)},
                             env);
    std::string line;
    std::string json;
    while (node.ReadLine(line)) {
        if (line.rfind("RESULT ", 0) == 0) {
            json = line.substr(7);
            break;
        }
        if (line.rfind("FAIL", 0) == 0) {
            error = "ws: " + line;
            return false;
        }
    }
    if (json.empty()) {
        error = "ws: no result from node";
        return false;
    }
    node.Wait();
    try {
        const _JSON r = _JSON::parse(json);
        out.p50 = r.at("rtt_p50_us").get<double>();
        out.p99 = r.at("rtt_p99_us").get<double>();
        out.mean = r.at("rtt_mean_us").get<double>();
        out.msgsPerSecond = r.at("msgs_per_s").get<double>();
    } catch (const std::exception& e) {
        error = std::string("ws: bad result: ") + e.what();
        return false;
    }
    std::lock_guard<std::mutex> lock(WsFiguresMutex);
    WsFigures[{plan.size, plan.tls}] = out;
    return true;
}

void BM_Echo_Ws(benchmark::State& state, EchoPlan plan)
{
    state.SetLabel(plan.tls ? "ws client -> ws server over TLS (node, two processes)"
                            : "ws client -> ws server (node, two processes)");
    EchoFigures f;
    for (auto _ : state) {
        std::string error;
        if (!RunWsEcho(plan, f, error)) {
            bench::Fail(state, error);
            break;
        }
    }
    if (!state.error_occurred())
        ReportEcho(state, plan, f);
}

// Drives one client connection. Every member is used on the SERIAL queue
// (where the client's events run) under `mutex`; the benchmark thread waits
// for `done`.
class EchoDriver : public std::enable_shared_from_this<EchoDriver> {
public:
    explicit EchoDriver(std::size_t size) : payload_(Pattern(size)) {}

    void OnConnection(bool up)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = up;
        if (!up && phase_ != Idle)
            Finish("connection lost during the measurement");
        cv_.notify_all();
    }

    void OnMessage(const _OBJ<IWebSocket>& client, const _STRING& data, IWebSocket::OPCODE opcode)
    {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        if (phase_ == Idle)
            return;
        if (data.size() != payload_.size() || opcode != IWebSocket::Binary) {
            Finish("echo changed the message");
            return;
        }
        if (phase_ == RoundTrips) {
            if (warmupLeft_ > 0) {
                --warmupLeft_;
                if (data != payload_) {
                    Finish("echo changed the bytes");
                    return;
                }
            } else {
                samples_.push_back(Micros(now - sent_));
            }
            if (warmupLeft_ == 0 && static_cast<int>(samples_.size()) == target_) {
                Finish("");
                return;
            }
            sent_ = Clock::now();
            client->Send(payload_, IWebSocket::Binary);
        } else {
            if (++received_ == target_) {
                elapsed_ = Clock::now() - start_;
                Finish("");
                return;
            }
            if (sentCount_ < target_) {
                ++sentCount_;
                client->Send(payload_, IWebSocket::Binary);
            }
        }
    }

    bool WaitConnected(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [this] { return connected_; });
    }

    // Round trips one at a time; the first `warmup` are not counted.
    bool MeasureRoundTrips(const _OBJ<IWebSocket>& client, int warmup, int count, std::vector<double>& samples,
                           std::string& error)
    {
        Start(client, [&] {
            phase_ = RoundTrips;
            warmupLeft_ = warmup;
            target_ = count;
            samples_.clear();
            samples_.reserve(count);
        }, 1);
        if (!WaitDone(error))
            return false;
        samples = samples_;
        return true;
    }

    bool MeasureRate(const _OBJ<IWebSocket>& client, int count, double& msgs_per_s, std::string& error)
    {
        Start(client, [&] {
            phase_ = Rate;
            target_ = count;
            received_ = 0;
        }, std::min(WINDOW, count));
        if (!WaitDone(error))
            return false;
        msgs_per_s = count / std::chrono::duration<double>(elapsed_).count();
        return true;
    }

private:
    enum Phase { Idle, RoundTrips, Rate };

    // Sets the phase up and sends the first `first` messages from a SERIAL
    // task, so that the replies cannot overtake the set-up.
    template <class Setup>
    void Start(const _OBJ<IWebSocket>& client, Setup setup, int first)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            setup();
            done_ = false;
            error_.clear();
        }
        _GCD::Dispatch(
            [self = shared_from_this(), client, first] {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->start_ = self->sent_ = Clock::now();
                self->sentCount_ = first;
                for (int i = 0; i < first; ++i)
                    client->Send(self->payload_, IWebSocket::Binary);
            },
            _GCD::SERIAL);
    }

    bool WaitDone(std::string& error)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, 60s, [this] { return done_; })) {
            phase_ = Idle;
            error = "no answer within 60 s";
            return false;
        }
        error = error_;
        return error.empty();
    }

    void Finish(const std::string& error)
    {
        phase_ = Idle;
        error_ = error;
        done_ = true;
        cv_.notify_all();
    }

    const std::string payload_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool connected_ = false;
    bool done_ = false;
    std::string error_;
    Phase phase_ = Idle;
    int warmupLeft_ = 0;
    int target_ = 0;
    int received_ = 0;
    int sentCount_ = 0;
    Clock::time_point start_, sent_;
    Clock::duration elapsed_{};
    std::vector<double> samples_;
};

void BM_Echo_Ours(benchmark::State& state, EchoPlan plan)
{
    state.SetLabel(plan.tls ? "IWebSocket::Connect -> IWebSocketListener over TLS (one process)"
                            : "IWebSocket::Connect -> IWebSocketListener (one process)");
    const int port = bench::FreePort();
    if (plan.tls && !Pki().error.empty()) {
        bench::Fail(state, Pki().error);
        return;
    }
    _OBJ<IWebSocketListener> listener = Listen(
        port, plan.tls, nullptr,
        [](_OBJ<IWebSocket> peer, const _STRING& data, IWebSocket::OPCODE opcode) { peer->Send(data, opcode); });
    auto driver = std::make_shared<EchoDriver>(plan.size);
    _OBJ<IWebSocket> client;
    EchoFigures f;
    std::string error;
    if (listener.IsValid()) {
        client = IWebSocket::Connect(
            Url(port, plan.tls), [driver](_OBJ<IWebSocket>, bool up) { driver->OnConnection(up); },
            [driver](_OBJ<IWebSocket> c, const _STRING& data, IWebSocket::OPCODE op) {
                driver->OnMessage(c, data, op);
            });
        if (!driver->WaitConnected(10s))
            error = "client did not connect";
    } else {
        error = "cannot listen";
    }
    for (auto _ : state) {
        if (!error.empty())
            break;
        const int warmup = std::max(5, std::min(50, plan.rttCount / 10));
        std::vector<double> samples;
        if (!driver->MeasureRoundTrips(client, warmup, plan.rttCount, samples, error))
            break;
        double sum = 0;
        for (double s : samples)
            sum += s;
        f.mean = sum / static_cast<double>(samples.size());
        f.p50 = bench::Percentile(samples, 50);
        f.p99 = bench::Percentile(samples, 99);
        if (!driver->MeasureRate(client, plan.rateCount, f.msgsPerSecond, error))
            break;
    }
    if (client.IsValid())
        client->Disconnect();
    client = nullptr;
    if (listener.IsValid())
        listener->Stop();
    listener = nullptr;
    if (!error.empty()) {
        bench::Fail(state, error);
        return;
    }
    ReportEcho(state, plan, f);

    EchoFigures ws;
    bool have_ws = false;
    {
        std::lock_guard<std::mutex> lock(WsFiguresMutex);
        auto it = WsFigures.find({plan.size, plan.tls});
        have_ws = it != WsFigures.end();
        if (have_ws)
            ws = it->second;
        if (!plan.tls) {
            OursPlainFigures[plan.size] = f;
        } else if (OursPlainFigures.count(plan.size)) {
            // What TLS costs us: above 1 is slower than our plain link.
            const EchoFigures& plain = OursPlainFigures[plan.size];
            state.counters["p50_vs_plain"] = f.p50 / plain.p50;
            state.counters["rate_vs_plain"] = f.msgsPerSecond / plain.msgsPerSecond;
        }
    }
    if (have_ws) {
        // Latency: above 1 means ours takes longer; rate: below 1 means ours
        // moves fewer messages.
        state.counters["p50_vs_ws"] = f.p50 / ws.p50;
        state.counters["p99_vs_ws"] = f.p99 / ws.p99;
        state.counters["rate_vs_ws"] = f.msgsPerSecond / ws.msgsPerSecond;
    }
}

// ---- memory per idle connection ----

constexpr int IDLE_CLIENTS = 128;

// "RSS <bytes> ..." -> bytes; -1 when the line is something else.
long RssOf(const std::string& rest)
{
    std::istringstream in(rest);
    long bytes = -1;
    in >> bytes;
    return bytes;
}

struct MemoryFigures {
    long before = 0, after = 0;
    std::string detail;
};

// Opens IDLE_CLIENTS `ws` clients (another node process) against the server
// whose process answers "rss" with "RSS <bytes> ...", reading its RSS before
// and after; `after_request` is the line that asks for the second reading.
bool MeasureServerMemory(bench::ChildProcess& server, int port, MemoryFigures& out, std::string& error,
                         const std::string& after_request)
{
    std::string rest;
    server.WriteLine("rss");
    if (!server.ReadUntil("RSS ", rest)) {
        error = "server gave no RSS";
        return false;
    }
    out.before = RssOf(rest);
    bench::ChildProcess clients({"node", NODE_SCRIPT, "clients", Url(port), std::to_string(IDLE_CLIENTS)}, {NODE_PATH});
    std::string line;
    if (!clients.ReadLine(line) || line != "OPEN " + std::to_string(IDLE_CLIENTS)) {
        error = "clients: " + line;
        return false;
    }
    server.WriteLine(after_request);
    if (!server.ReadUntil("RSS ", rest)) {
        error = "server gave no RSS";
        return false;
    }
    out.after = RssOf(rest);
    out.detail = rest;
    clients.Wait();
    return true;
}

std::mutex WsMemoryMutex;
double WsBytesPerConnection = 0;

void ReportMemory(benchmark::State& state, const MemoryFigures& m)
{
    const double per = static_cast<double>(m.after - m.before) / IDLE_CLIENTS;
    state.counters["rss_before_KiB"] = static_cast<double>(m.before) / 1024;
    state.counters["rss_after_KiB"] = static_cast<double>(m.after) / 1024;
    state.counters["KiB_per_conn"] = per / 1024;
}

void BM_IdleMemory_Ws(benchmark::State& state)
{
    state.SetLabel("ws server process, 128 ws clients in another process");
    MemoryFigures m;
    for (auto _ : state) {
        bench::ChildProcess server({"node", "--expose-gc", NODE_SCRIPT, "server"}, {NODE_PATH});
        std::string rest;
        std::string error;
        if (!server.ReadUntil("PORT ", rest))
            error = "ws server did not start";
        else
            MeasureServerMemory(server, std::stoi(rest), m, error, "rss");
        if (!error.empty()) {
            bench::Fail(state, error);
            break;
        }
    }
    if (state.error_occurred())
        return;
    ReportMemory(state, m);
    std::lock_guard<std::mutex> lock(WsMemoryMutex);
    WsBytesPerConnection = static_cast<double>(m.after - m.before) / IDLE_CLIENTS;
}

void BM_IdleMemory_Ours(benchmark::State& state)
{
    state.SetLabel("IWebSocketListener alone in a child process, 128 ws clients in another process");
    MemoryFigures m;
    for (auto _ : state) {
        const int port = bench::FreePort();
        bench::ChildProcess probe({"/proc/self/exe", "--listener-probe", std::to_string(port)});
        std::string rest;
        std::string error;
        if (!probe.ReadUntil("LISTENING", rest))
            error = "listener probe did not start";
        else if (MeasureServerMemory(probe, port, m, error, "wait " + std::to_string(IDLE_CLIENTS)) &&
                 probe.Wait() != 0)
            error = "listener probe failed";
        if (!error.empty()) {
            bench::Fail(state, error);
            break;
        }
    }
    if (state.error_occurred())
        return;
    ReportMemory(state, m);
    // The probe's answer also carries its open-connection and thread counts.
    std::istringstream detail(m.detail);
    std::string word;
    long value;
    detail >> value;
    while (detail >> word >> value) {
        if (word == "OPEN")
            state.counters["open"] = static_cast<double>(value);
        else if (word == "THREADS")
            state.counters["threads"] = static_cast<double>(value);
    }
    std::lock_guard<std::mutex> lock(WsMemoryMutex);
    if (WsBytesPerConnection > 0)
        state.counters["vs_ws"] = static_cast<double>(m.after - m.before) / IDLE_CLIENTS / WsBytesPerConnection;
}

int ThreadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    return -1;
}

// The child side of BM_IdleMemory_Ours: a listener (echo) and nothing else.
// stdin lines: "rss" -> "RSS <bytes> OPEN <n> THREADS <n>"; "wait N" waits
// until N clients are open (at most 30 s) and a moment more, then answers
// like "rss". Ends with its stdin.
int ListenerProbe(int port)
{
    std::signal(SIGPIPE, SIG_IGN);
    int status = 0;
    std::thread driver;
    _GCD::Run(
        [&] {
            driver = std::thread([&] {
                std::mutex m;
                std::condition_variable cv;
                int open = 0;
                _OBJ<IWebSocketListener> listener = IWebSocketListener::New(
                    static_cast<unsigned short>(port),
                    [&](_OBJ<IWebSocket>, bool up) {
                        std::lock_guard<std::mutex> lock(m);
                        open += up ? 1 : -1;
                        cv.notify_all();
                    },
                    [](_OBJ<IWebSocket> peer, const _STRING& data, IWebSocket::OPCODE opcode) {
                        peer->Send(data, opcode);
                    });
                if (!listener) {
                    std::printf("FAIL listen\n");
                    std::fflush(stdout);
                    status = 1;
                    _GCD::Exit();
                    return;
                }
                std::this_thread::sleep_for(200ms);   // let the accept thread settle
                std::printf("LISTENING\n");
                std::fflush(stdout);
                std::string line;
                while (std::getline(std::cin, line)) {
                    int n = 0;
                    if (line.rfind("wait ", 0) == 0) {
                        n = std::stoi(line.substr(5));
                        std::unique_lock<std::mutex> lock(m);
                        if (!cv.wait_for(lock, 30s, [&] { return open >= n; }))
                            status = 1;
                        lock.unlock();
                        std::this_thread::sleep_for(300ms);
                    }
                    int now_open;
                    {
                        std::lock_guard<std::mutex> lock(m);
                        now_open = open;
                    }
                    std::printf("RSS %ld OPEN %d THREADS %d\n", bench::ResidentBytes(), now_open, ThreadCount());
                    std::fflush(stdout);
                }
                listener->Stop();
                listener = nullptr;
                _GCD::Exit();
            });
        },
        nullptr, nullptr, 0);
    driver.join();
    return status;
}

// ---- reconnection ----

constexpr int RESTARTS = 20;
constexpr int HANDSHAKES = 20;

// The client's connection events with their times (taken in the callback,
// on SERIAL).
struct ConnectionLog {
    std::mutex m;
    std::condition_variable cv;
    int opens = 0, closes = 0;
    Clock::time_point lastOpen;

    void Add(bool up)
    {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> lock(m);
        if (up) {
            ++opens;
            lastOpen = now;
        } else {
            ++closes;
        }
        cv.notify_all();
    }
    bool WaitOpens(int n, std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, limit, [&] { return opens >= n; });
    }
    bool WaitCloses(int n, std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, limit, [&] { return closes >= n; });
    }
};

// The listener is stopped, stays down for 0, 50, ..., 950 ms after the
// client saw the close, and is made anew on the same port; each sample is
// the time from the new listener's return to the client's open event.
void BM_Reconnect_Ours(benchmark::State& state, bool tls)
{
    state.SetLabel(tls ? "over TLS, listener down 0-950 ms (20 steps of 50 ms)"
                       : "listener down 0-950 ms (20 steps of 50 ms)");
    const int port = bench::FreePort();
    auto make_listener = [port, tls] { return Listen(port, tls, nullptr, nullptr); };
    _OBJ<IWebSocketListener> listener = make_listener();
    auto log = std::make_shared<ConnectionLog>();
    _OBJ<IWebSocket> client = IWebSocket::Connect(
        Url(port, tls), [log](_OBJ<IWebSocket>, bool up) { log->Add(up); }, nullptr);
    std::vector<double> samples_ms;
    std::string error;
    if (!listener || !log->WaitOpens(1, 10s))
        error = "first connection failed";
    for (auto _ : state) {
        for (int i = 0; i < RESTARTS && error.empty(); ++i) {
            listener->Stop();
            listener = nullptr;
            if (!log->WaitCloses(i + 1, 10s)) {
                error = "no close event after the listener stopped";
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50 * i));
            listener = make_listener();
            const auto listening = Clock::now();
            if (!listener) {
                error = "cannot listen again";
                break;
            }
            if (!log->WaitOpens(i + 2, 10s)) {
                error = "no reconnection within 10 s";
                break;
            }
            std::lock_guard<std::mutex> lock(log->m);
            samples_ms.push_back(std::chrono::duration<double, std::milli>(log->lastOpen - listening).count());
        }
    }
    client->Disconnect();
    client = nullptr;
    if (listener.IsValid())
        listener->Stop();
    listener = nullptr;
    if (!error.empty()) {
        bench::Fail(state, error);
        return;
    }
    state.counters["reconnect_p50_ms"] = bench::Percentile(samples_ms, 50);
    state.counters["reconnect_min_ms"] = samples_ms.front();
    state.counters["reconnect_max_ms"] = samples_ms.back();
    state.counters["restarts"] = static_cast<double>(samples_ms.size());
}

// A new client to a running listener, from Connect to its open event (TCP,
// TLS and WebSocket handshakes, and the event's way to SERIAL), one client
// at a time.
void BM_Handshake_Ours(benchmark::State& state, bool tls)
{
    state.SetLabel(tls ? "Connect to open event over TLS (full handshake each time)" : "Connect to open event");
    const int port = bench::FreePort();
    _OBJ<IWebSocketListener> listener = Listen(port, tls, nullptr, nullptr);
    std::vector<double> samples_ms;
    std::string error = listener.IsValid() ? "" : "cannot listen";
    for (auto _ : state) {
        for (int i = 0; i < HANDSHAKES && error.empty(); ++i) {
            auto log = std::make_shared<ConnectionLog>();
            const auto start = Clock::now();
            _OBJ<IWebSocket> client = IWebSocket::Connect(
                Url(port, tls), [log](_OBJ<IWebSocket>, bool up) { log->Add(up); }, nullptr);
            if (!log->WaitOpens(1, 10s)) {
                error = "no open event within 10 s";
            } else {
                std::lock_guard<std::mutex> lock(log->m);
                samples_ms.push_back(std::chrono::duration<double, std::milli>(log->lastOpen - start).count());
            }
            client->Disconnect();
        }
    }
    if (listener.IsValid())
        listener->Stop();
    if (!error.empty()) {
        bench::Fail(state, error);
        return;
    }
    state.counters["open_p50_ms"] = bench::Percentile(samples_ms, 50);
    state.counters["open_p90_ms"] = bench::Percentile(samples_ms, 90);
    state.counters["connections"] = static_cast<double>(samples_ms.size());
}

// Swallows what is written into it (the client's console lines).
class NullBuffer : public std::streambuf {
protected:
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::string(argv[1]) == "--listener-probe")
        return ListenerProbe(std::stoi(argv[2]));

    // The client connection writes a line to standard output at every open
    // and close; keep them out of the report.
    std::ostream report(std::cout.rdbuf());
    NullBuffer null;
    std::cout.rdbuf(&null);
    benchmark::ConsoleReporter display(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Color
                                                              : benchmark::ConsoleReporter::OO_None);
    display.SetOutputStream(&report);
    display.SetErrorStream(&std::cerr);

    for (const bool tls : {false, true}) {
        for (EchoPlan plan : PLANS) {
            plan.tls = tls;
            const std::string name = std::string(tls ? "Tls" : "") + "/size:" + std::to_string(plan.size);
            benchmark::RegisterBenchmark(("Echo_Ws" + name).c_str(), BM_Echo_Ws, plan)
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("Echo_Ours" + name).c_str(), BM_Echo_Ours, plan)
                ->Iterations(1)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
    for (const bool tls : {false, true})
        benchmark::RegisterBenchmark(tls ? "Handshake_OursTls/connections:20" : "Handshake_Ours/connections:20",
                                     BM_Handshake_Ours, tls)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("IdleMemory_Ws/clients:128", BM_IdleMemory_Ws)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("IdleMemory_Ours/clients:128", BM_IdleMemory_Ours)
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    for (const bool tls : {false, true})
        benchmark::RegisterBenchmark(tls ? "Reconnect_OursTls/restarts:20" : "Reconnect_Ours/restarts:20",
                                     BM_Reconnect_Ours, tls)
            ->Iterations(1)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);

    const int status = bench::RunInRunLoop(argc, argv, &display);
    std::cout.rdbuf(report.rdbuf());
    return status;
}
