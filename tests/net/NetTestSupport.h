#pragma once
// Helpers of the network tests: an event recorder that a test can wait on,
// and the independent Node.js peers (POSIX only).

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// Thread-safe list of event descriptions that a test can wait on.
class Recorder {
public:
    void Add(std::string event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(event));
        cv_.notify_all();
    }

    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

    size_t Count(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& e : events_)
            n += e == event;
        return n;
    }

    // Waits until pred(events) holds; false after `limit`.
    bool WaitUntil(const std::function<bool(const std::vector<std::string>&)>& pred,
                   std::chrono::milliseconds limit = 15s)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return pred(events_); });
    }

    bool WaitCount(const std::string& event, size_t n, std::chrono::milliseconds limit = 15s)
    {
        return WaitUntil(
            [&](const std::vector<std::string>& events) {
                size_t count = 0;
                for (const auto& e : events)
                    count += e == event;
                return count >= n;
            },
            limit);
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

// A child process with its stdin and stdout on pipes; killed and reaped when
// destroyed.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv)
    {
        // Everything the child needs is prepared before fork(): in a process
        // with threads, the child may only make async-signal-safe calls.
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execvp(args[0], args.data());
            _exit(127);
        }
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

    void Signal(int signal_number)
    {
        if (pid_ > 0)
            kill(pid_, signal_number);
    }

    // Waits for the exit status (the child's stdin is closed first).
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

// The `ws` echo server of peers/ws_server.js on a free loopback port.
class NodeWsServer {
public:
    // env: NAME=value settings of the server (ZP_TLS_CERT, ZP_TLS_KEY, ...).
    explicit NodeWsServer(int port = 0, const std::vector<std::string>& env = {})
        : child_(Command(port, env))
    {
        std::string line;
        while (child_.ReadLine(line)) {
            if (line.rfind("PORT ", 0) == 0) {
                port_ = std::stoi(line.substr(5));
                break;
            }
        }
    }
    int Port() const { return port_; }
    std::string Url() const { return "ws://127.0.0.1:" + std::to_string(port_) + "/"; }
    // Waits for the "PORT" line the server prints when it listens again.
    bool WaitRelisten()
    {
        std::string line;
        while (child_.ReadLine(line))
            if (line.rfind("PORT ", 0) == 0)
                return true;
        return false;
    }

private:
    static std::vector<std::string> Command(int port, const std::vector<std::string>& env)
    {
        std::vector<std::string> command = {"env", "NODE_PATH=" ZP_NODE_MODULES};
        command.insert(command.end(), env.begin(), env.end());
        command.insert(command.end(), {"node", ZP_PEERS_DIR "/ws_server.js", std::to_string(port)});
        return command;
    }

    ChildProcess child_;
    int port_ = 0;
};
#endif

// A loopback port that was free a moment ago.
int FreePort();
