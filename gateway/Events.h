#pragma once
// The web page's live feed: every open event stream (GET /api/events)
// receives "printers" (the connected clients, after any connect or
// disconnect) and "job" (a job created or changed) events, each a line of
// JSON data; a comment line every 15 s keeps idle connections open. A new
// stream first gets "hello" with the whole picture.

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HttpServer.h"

namespace _GATEWAY {

class EVENTS {
public:
    EVENTS();
    ~EVENTS();   // lets go of every stream

    EVENTS(const EVENTS&) = delete;
    EVENTS& operator=(const EVENTS&) = delete;

    // A new stream, greeted with the JSON `hello` makes. It is made while no
    // event can be published, so none is lost between the picture and the
    // stream; a publisher must hold no lock that `hello` takes.
    void Add(const std::shared_ptr<EVENT_STREAM>& stream, const std::function<std::string()>& hello);
    // To every open stream.
    void Publish(const std::string& event, const std::string& json);

private:
    void Send(const std::string& text);

    std::mutex Mutex_;
    std::vector<std::shared_ptr<EVENT_STREAM>> Streams_;
    std::condition_variable Wake_;
    bool Stopping_ = false;
    std::thread KeepAlive_;
};

}  // namespace _GATEWAY
