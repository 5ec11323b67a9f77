#include "Events.h"

#include <chrono>

namespace _GATEWAY {

namespace {

std::string Framed(const std::string& event, const std::string& json)
{
    return "event: " + event + "\ndata: " + json + "\n\n";
}

}  // namespace

EVENTS::EVENTS()
    : KeepAlive_([this] {
          std::unique_lock<std::mutex> lock(Mutex_);
          while (!Wake_.wait_for(lock, std::chrono::seconds(15), [this] { return Stopping_; })) {
              lock.unlock();
              Send(": keep-alive\n\n");
              lock.lock();
          }
      })
{
}

EVENTS::~EVENTS()
{
    {
        std::lock_guard<std::mutex> lock(Mutex_);
        Stopping_ = true;
        Streams_.clear();
    }
    Wake_.notify_all();
    KeepAlive_.join();
}

void EVENTS::Add(const std::shared_ptr<EVENT_STREAM>& stream, const std::function<std::string()>& hello)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    if (Stopping_)
        return;
    stream->Push(Framed("hello", hello()));
    Streams_.push_back(stream);
}

void EVENTS::Publish(const std::string& event, const std::string& json)
{
    Send(Framed(event, json));
}

void EVENTS::Send(const std::string& text)
{
    std::lock_guard<std::mutex> lock(Mutex_);
    std::vector<std::shared_ptr<EVENT_STREAM>> open;
    for (auto& s : Streams_)
        if (s->Push(text))
            open.push_back(s);
    Streams_.swap(open);
}

}  // namespace _GATEWAY
