#pragma once
// Shared pieces of the benchmark programs: a main that runs the benchmarks
// inside the run loop, percentiles, the process's resident memory, a free
// loopback port and child processes with piped standard streams.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio.hpp>

#include "Gcd/Gcd.h"

extern char** environ;

namespace bench {

// Set when a benchmark reported an error: the program then ends non-zero.
inline bool& Failed()
{
    static bool failed = false;
    return failed;
}

inline void Fail(benchmark::State& state, const std::string& why)
{
    Failed() = true;
    state.SkipWithError(why.c_str());
}

// Nearest-rank percentile (p in 0..100) of the samples; sorts them. The Node
// script uses the same definition.
inline double Percentile(std::vector<double>& samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    rank = std::clamp<size_t>(rank, 1, samples.size());
    return samples[rank - 1];
}

// Resident set size of this process in bytes (VmRSS).
inline long ResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6)) * 1024;
    return -1;
}

// A loopback port that was free a moment ago.
inline int FreePort()
{
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address_v4("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

// A child process with its stdin and stdout on pipes and stderr shared with
// this process; killed and reaped when destroyed. posix_spawn, not fork: the
// run loop's threads exist already.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {})
    {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]);
            close(in[1]);
            return;
        }
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<std::string> env_strings(extra_env);
        for (char** e = environ; *e; ++e)
            env_strings.push_back(*e);
        std::vector<char*> env;
        for (auto& e : env_strings)
            env.push_back(const_cast<char*>(e.c_str()));
        env.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), env.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = fdopen(out[0], "r");
    }

    ~ChildProcess()
    {
        if (stdin_ >= 0)
            close(stdin_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (stdout_)
            fclose(stdout_);
    }

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0 && stdout_; }

    // One line of the child's output without its line end; false at the end.
    bool ReadLine(std::string& line)
    {
        line.clear();
        if (!stdout_)
            return false;
        int c;
        while ((c = fgetc(stdout_)) != EOF && c != '\n')
            line.push_back(static_cast<char>(c));
        return c != EOF || !line.empty();
    }

    // The first line that starts with prefix, without the prefix; false when
    // the child's output ends first.
    bool ReadUntil(const std::string& prefix, std::string& rest)
    {
        std::string line;
        while (ReadLine(line)) {
            if (line.rfind(prefix, 0) == 0) {
                rest = line.substr(prefix.size());
                return true;
            }
        }
        return false;
    }

    bool WriteLine(const std::string& text)
    {
        const std::string data = text + "\n";
        return stdin_ >= 0 && write(stdin_, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    }

    // Closes the child's stdin (its signal to end) and waits for its exit
    // status.
    int Wait()
    {
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
        int status = -1;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    FILE* stdout_ = nullptr;
};

// Runs the registered benchmarks inside the run loop: _GCD::Run owns the
// main thread, the benchmarks run on a thread of their own (so they may
// block and wait for tasks), and the loop ends when they are done. Returns
// the process's exit status.
inline int RunInRunLoop(int argc, char** argv, benchmark::BenchmarkReporter* display = nullptr)
{
    // A child that goes away early must not kill the benchmark on a write.
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::thread driver;
    _GCD::Run(
        [&] {
            driver = std::thread([&] {
                if (display)
                    benchmark::RunSpecifiedBenchmarks(display);
                else
                    benchmark::RunSpecifiedBenchmarks();
                _GCD::Exit();
            });
        },
        nullptr, nullptr, 0);
    driver.join();
    benchmark::Shutdown();
    return Failed() ? 1 : 0;
}

}  // namespace bench
