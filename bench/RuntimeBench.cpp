// Benchmarks of the runtime: task dispatch throughput against two plain
// alternatives, timer lateness, and Base64 decoding against a plain
// table-driven decoder.

#include <pthread.h>
#include <sched.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include "BenchSupport.h"
#include "Codec/Base64.h"
#include "Gcd/Gcd.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// ---- dispatch ----

constexpr long TASKS_PER_BATCH = 20000;

// One batch of tasks: the producer waits until the last task has run.
struct Batch {
    std::atomic<long> remaining{0};
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;

    void Arm(long n)
    {
        remaining.store(n);
        std::lock_guard<std::mutex> lock(mutex);
        done = false;
    }
    void Finish()
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        cv.notify_one();
    }
    bool Wait(std::chrono::seconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, limit, [this] { return done; });
    }
};

// The task body every queue runs: a little arithmetic, then the count. Small
// enough for std::function's in-place storage, so no queue allocates it.
struct TaskBody {
    Batch* batch;
    unsigned long seed;

    void operator()() const
    {
        unsigned long x = seed | 1;
        for (int i = 0; i < 16; ++i) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
        }
        benchmark::DoNotOptimize(x);
        if (batch->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1)
            batch->Finish();
    }
};

// The plain alternative: one thread, a deque, a mutex and a condition
// variable.
class CvQueue {
public:
    CvQueue() : thread_([this] { Serve(); }) {}
    ~CvQueue()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

    void Post(std::function<void()> task)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_one();
    }

private:
    void Serve()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [this] { return stop_ || !tasks_.empty(); });
            if (tasks_.empty())
                return;
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    std::thread thread_;
};

// The scheduling policy a task of queue q runs with ("SCHED_RR/50").
std::string QueuePolicy(_GCD::TASK_QUEUE_ID q)
{
    std::mutex m;
    std::condition_variable cv;
    std::string text;
    _GCD::Dispatch(
        [&] {
            int policy = 0;
            sched_param param{};
            pthread_getschedparam(pthread_self(), &policy, &param);
            std::lock_guard<std::mutex> lock(m);
            text = (policy == SCHED_RR ? "SCHED_RR/" : policy == SCHED_FIFO ? "SCHED_FIFO/" : "SCHED_OTHER/") +
                   std::to_string(param.sched_priority);
            cv.notify_one();
        },
        q);
    std::unique_lock<std::mutex> lock(m);
    cv.wait_for(lock, 5s, [&] { return !text.empty(); });
    return text;
}

template <class PostFn>
void RunBatches(benchmark::State& state, PostFn post)
{
    Batch batch;
    for (auto _ : state) {
        batch.Arm(TASKS_PER_BATCH);
        for (long i = 0; i < TASKS_PER_BATCH; ++i)
            post(TaskBody{&batch, static_cast<unsigned long>(i)});
        if (!batch.Wait(30s)) {
            bench::Fail(state, "tasks did not all run");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * TASKS_PER_BATCH);
}

void BM_Dispatch_Serial(benchmark::State& state)
{
    state.SetLabel("1 thread, " + QueuePolicy(_GCD::SERIAL));
    RunBatches(state, [](const TaskBody& body) { _GCD::Dispatch(_GCD::LAMBDA(body), _GCD::SERIAL); });
}

void BM_Dispatch_Queue2(benchmark::State& state)
{
    state.SetLabel(std::to_string(std::thread::hardware_concurrency()) + " threads, " + QueuePolicy(2));
    RunBatches(state, [](const TaskBody& body) { _GCD::Dispatch(_GCD::LAMBDA(body), 2); });
}

void BM_Dispatch_AsioThreadPool(benchmark::State& state)
{
    const auto threads = static_cast<std::size_t>(state.range(0));
    boost::asio::thread_pool pool(threads);
    state.SetLabel(std::to_string(threads) + (threads == 1 ? " thread" : " threads"));
    RunBatches(state, [&pool](const TaskBody& body) { boost::asio::post(pool, body); });
    pool.join();
}

void BM_Dispatch_MutexCvQueue(benchmark::State& state)
{
    CvQueue queue;
    state.SetLabel("1 thread");
    RunBatches(state, [&queue](const TaskBody& body) { queue.Post(std::function<void()>(body)); });
}

// ---- timers ----

constexpr int TIMERS = 1000;

// Nothing falls due before all 1,000 timers are armed (arming them takes a
// few milliseconds), so that the lateness is the firing's alone.
constexpr std::chrono::microseconds LEAD(50000);

// Due offsets of the 1,000 timers after LEAD: 0 = evenly spaced 0.5 ms apart
// (0.5 s in all); 1 = random in [1 ms, 500 ms] (fixed seed), so that some
// fall due together.
std::vector<std::chrono::microseconds> TimerSchedule(int kind)
{
    std::vector<std::chrono::microseconds> offsets(TIMERS);
    std::mt19937 random(42);
    std::uniform_int_distribution<int> spread(1000, 500000);
    for (int i = 0; i < TIMERS; ++i)
        offsets[i] = LEAD + (kind == 0 ? std::chrono::microseconds(500 * (i + 1))
                                       : std::chrono::microseconds(spread(random)));
    return offsets;
}

void ReportLateness(benchmark::State& state, std::vector<double>& late_us)
{
    state.counters["late_p50_us"] = bench::Percentile(late_us, 50);
    state.counters["late_p99_us"] = bench::Percentile(late_us, 99);
    state.counters["late_max_us"] = late_us.empty() ? 0 : late_us.back();
    state.counters["timers"] = static_cast<double>(late_us.size());
}

// Arms all 1,000 timers with _GCD::Dispatch(microseconds, lambda) and records
// when each fires.
void BM_TimerLateness(benchmark::State& state)
{
    const auto offsets = TimerSchedule(static_cast<int>(state.range(0)));
    state.SetLabel(state.range(0) == 0 ? "spaced 0.5 ms" : "random 1-500 ms");
    std::vector<Clock::time_point> due(TIMERS), fired(TIMERS);
    std::vector<double> late_us;
    double arm_ms = 0;
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        int count = 0;
        const auto arming = Clock::now();
        for (int i = 0; i < TIMERS; ++i) {
            due[i] = Clock::now() + offsets[i];
            _GCD::Dispatch(offsets[i], [&, i] {
                fired[i] = Clock::now();
                std::lock_guard<std::mutex> lock(m);
                if (++count == TIMERS)
                    cv.notify_one();
                return false;
            });
        }
        arm_ms = std::chrono::duration<double, std::milli>(Clock::now() - arming).count();
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, 20s, [&] { return count == TIMERS; })) {
            // The callbacks reference this frame: the program cannot go on.
            std::fprintf(stderr, "timers: only %d of %d fired\n", count, TIMERS);
            std::abort();
        }
        for (int i = 0; i < TIMERS; ++i)
            late_us.push_back(std::chrono::duration<double, std::micro>(fired[i] - due[i]).count());
    }
    ReportLateness(state, late_us);
    state.counters["arm_all_ms"] = arm_ms;
}

// The floor under the same load: one thread sleeping until each due time of
// the spaced schedule.
void BM_TimerLateness_SleepUntil(benchmark::State& state)
{
    const auto offsets = TimerSchedule(0);
    state.SetLabel("spaced 0.5 ms, std::this_thread::sleep_until");
    std::vector<double> late_us;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < TIMERS; ++i) {
            const auto due = start + offsets[i];
            std::this_thread::sleep_until(due);
            late_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - due).count());
        }
    }
    ReportLateness(state, late_us);
}

// ---- Base64 ----

constexpr std::size_t PAYLOAD = 10000000;   // decoded bytes

// Plain table-driven RFC 4648 decoder with the same rules as the product's:
// "=" only as trailing padding (at most two, completing the last group),
// unpadded input allowed, k mod 4 = 1 and foreign characters refused.
std::optional<std::string> ReferenceDecode(const std::string& in)
{
    static const auto table = [] {
        std::array<unsigned char, 256> t;
        t.fill(0xFF);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (unsigned char i = 0; i < 64; ++i)
            t[static_cast<unsigned char>(alphabet[i])] = i;
        return t;
    }();
    std::size_t pad = 0;
    while (pad < in.size() && in[in.size() - 1 - pad] == '=')
        ++pad;
    const std::size_t k = in.size() - pad;
    if (pad > 2 || k % 4 == 1 || (pad > 0 && in.size() % 4 != 0))
        return std::nullopt;
    std::string out(k * 6 / 8, '\0');
    const auto* s = reinterpret_cast<const unsigned char*>(in.data());
    auto* o = reinterpret_cast<unsigned char*>(&out[0]);
    std::size_t i = 0;
    for (; i + 4 <= k; i += 4) {
        const unsigned a = table[s[i]], b = table[s[i + 1]], c = table[s[i + 2]], d = table[s[i + 3]];
        if ((a | b | c | d) & 0x80)
            return std::nullopt;
        const unsigned v = a << 18 | b << 12 | c << 6 | d;
        *o++ = static_cast<unsigned char>(v >> 16);
        *o++ = static_cast<unsigned char>(v >> 8);
        *o++ = static_cast<unsigned char>(v);
    }
    if (k - i >= 2) {
        const unsigned a = table[s[i]], b = table[s[i + 1]], c = k - i == 3 ? table[s[i + 2]] : 0;
        if ((a | b | c) & 0x80)
            return std::nullopt;
        const unsigned v = a << 18 | b << 12 | c << 6;
        *o++ = static_cast<unsigned char>(v >> 16);
        if (k - i == 3)
            *o++ = static_cast<unsigned char>(v >> 8);
    }
    return out;
}

struct Base64Data {
    std::string bytes;
    std::string text;
    std::string problem;   // empty when both decoders agree

    Base64Data()
    {
        std::mt19937_64 random(7);
        bytes.resize(PAYLOAD);
        for (auto& c : bytes)
            c = static_cast<char>(random());
        const auto encoded = _CODEC::BASE64::Encode(bytes);
        if (!encoded) {
            problem = "encoding failed";
            return;
        }
        text = *encoded;
        const auto ours = _CODEC::BASE64::Decode(text);
        const auto reference = ReferenceDecode(text);
        if (!ours || *ours != bytes)
            problem = "the product's decoder does not give back the payload";
        else if (!reference || *reference != bytes)
            problem = "the reference decoder does not give back the payload";
        // Same answers on the edge cases as well.
        for (const char* edge : {"YWJj", "YWI=", "YWI", "YW=I", "YQ==", "YQ", "Y", "YW==", "Y===", "YW*j", ""}) {
            if (_CODEC::BASE64::Decode(edge) != ReferenceDecode(edge))
                problem = std::string("the decoders disagree on \"") + edge + "\"";
        }
    }
};

const Base64Data& Payload()
{
    static const Base64Data data;
    return data;
}

template <class Decoder>
void DecodeLoop(benchmark::State& state, Decoder decode)
{
    const Base64Data& data = Payload();
    if (!data.problem.empty())
        bench::Fail(state, data.problem);   // the loop below then does not run
    for (auto _ : state) {
        auto out = decode(data.text);
        benchmark::DoNotOptimize(out);
        if (!out || out->size() != PAYLOAD) {
            bench::Fail(state, "decoding failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * PAYLOAD));
    state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * PAYLOAD / 1e6,
                                                    benchmark::Counter::kIsRate);
}

void BM_Base64Decode_Product(benchmark::State& state)
{
    state.SetLabel("10 MB decoded, Boost archive iterators");
    DecodeLoop(state, [](const std::string& text) { return _CODEC::BASE64::Decode(text); });
}

void BM_Base64Decode_Reference(benchmark::State& state)
{
    state.SetLabel("10 MB decoded, table-driven");
    DecodeLoop(state, ReferenceDecode);
}

}  // namespace

BENCHMARK(BM_Dispatch_Serial)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Dispatch_Queue2)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Dispatch_AsioThreadPool)
    ->Arg(1)
    ->Arg(static_cast<int64_t>(std::max(1u, std::thread::hardware_concurrency())))
    ->ArgName("threads")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();
BENCHMARK(BM_Dispatch_MutexCvQueue)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly();

BENCHMARK(BM_TimerLateness)->Arg(0)->Arg(1)->ArgName("schedule")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TimerLateness_SleepUntil)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK(BM_Base64Decode_Product)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Base64Decode_Reference)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

int main(int argc, char** argv)
{
    return bench::RunInRunLoop(argc, argv);
}
