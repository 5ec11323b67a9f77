#pragma once
// A stream layer under the WebSocket stream that gathers small writes.
//
// While the session knows that more messages follow (Cork(true)), what the
// WebSocket stream writes is copied into a buffer and reported written at
// once; the next write made uncorked goes out together with the buffer in
// one gather write: one send (or one TLS record) for a burst of small
// messages instead of one per message. Writes larger than the buffer's limit
// are never copied. Reads pass straight through.

#include <cstddef>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace _NET {
namespace Transport {
namespace detail {

template <class NextLayer>
class CorkedStream {
public:
    typedef typename NextLayer::executor_type executor_type;
    typedef NextLayer next_layer_type;

    // The most bytes gathered before they go out regardless.
    static constexpr std::size_t LIMIT = 64 * 1024;

    template <class... Args>
    explicit CorkedStream(Args&&... args) : next_(std::forward<Args>(args)...)
    {
    }

    executor_type get_executor() noexcept { return next_.get_executor(); }
    NextLayer& next_layer() noexcept { return next_; }
    const NextLayer& next_layer() const noexcept { return next_; }

    void Cork(bool on) { corked_ = on; }

    template <class MutableBufferSequence, class ReadHandler>
    void async_read_some(const MutableBufferSequence& buffers, ReadHandler&& handler)
    {
        next_.async_read_some(buffers, std::forward<ReadHandler>(handler));
    }

    template <class ConstBufferSequence, class WriteHandler>
    void async_write_some(const ConstBufferSequence& buffers, WriteHandler&& handler)
    {
        namespace asio = boost::asio;
        const std::size_t n = asio::buffer_size(buffers);
        if (corked_ && gathered_.size() + n <= LIMIT) {
            const std::size_t at = gathered_.size();
            gathered_.resize(at + n);
            asio::buffer_copy(asio::buffer(&gathered_[at], n), buffers);
            asio::post(get_executor(), [h = std::forward<WriteHandler>(handler), n]() mutable {
                h(boost::system::error_code(), n);
            });
            return;
        }
        if (gathered_.empty()) {
            next_.async_write_some(buffers, std::forward<WriteHandler>(handler));
            return;
        }
        // What was gathered, then these bytes, in one write. The gathered
        // bytes live in the operation until it completes.
        auto held = std::make_shared<std::string>();
        held->swap(gathered_);
        asio::async_write(next_, boost::beast::buffers_cat(asio::buffer(*held), buffers),
                          [held, h = std::forward<WriteHandler>(handler), n](const boost::system::error_code& ec,
                                                                             std::size_t) mutable {
                              h(ec, ec ? 0 : n);
                          });
    }

private:
    NextLayer next_;
    bool corked_ = false;
    std::string gathered_;
};

// The WebSocket stream's closing teardown goes to the layer underneath.
template <class NextLayer>
void teardown(boost::beast::role_type role, CorkedStream<NextLayer>& stream, boost::system::error_code& ec)
{
    using boost::beast::websocket::teardown;
    teardown(role, stream.next_layer(), ec);
}

template <class NextLayer, class TeardownHandler>
void async_teardown(boost::beast::role_type role, CorkedStream<NextLayer>& stream, TeardownHandler&& handler)
{
    using boost::beast::websocket::async_teardown;
    async_teardown(role, stream.next_layer(), std::forward<TeardownHandler>(handler));
}

}  // namespace detail
}  // namespace Transport
}  // namespace _NET
