#include "HttpServer.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <thread>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace _GATEWAY {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

constexpr auto HEAD_TIMEOUT = 60s;     // a request's head, and a kept-alive connection's silence
constexpr auto BODY_TIMEOUT = 300s;    // a request's body
constexpr auto HANDSHAKE_TIMEOUT = 10s;
constexpr std::size_t THREADS = 8;     // handlers may wait for a commit

// A body over the limit, known from its Content-Length or met while reading.
HTTP_RESPONSE TooLarge() { return {413, "application/json", R"({"error":"the body is too large"})", {}}; }
constexpr std::size_t STREAM_BACKLOG = 1000;   // events waiting for a slow reader

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX and "+" of a query component.
std::string Decode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i] == '+' ? ' ' : text[i]);
        }
    }
    return out;
}

template <class Body>
HTTP_REQUEST HeadOf(const http::request<Body>& message, const std::string& peer)
{
    HTTP_REQUEST request;
    request.Method = std::string(message.method_string());
    const std::string target(message.target());
    const auto question = target.find('?');
    request.Path = Decode(target.substr(0, question));
    if (question != std::string::npos) {
        std::string rest = target.substr(question + 1);
        std::size_t at = 0;
        while (at <= rest.size()) {
            const auto amp = rest.find('&', at);
            const std::string pair = rest.substr(at, amp == std::string::npos ? std::string::npos : amp - at);
            if (!pair.empty()) {
                const auto eq = pair.find('=');
                request.Query[Decode(pair.substr(0, eq))] = eq == std::string::npos ? "" : Decode(pair.substr(eq + 1));
            }
            if (amp == std::string::npos)
                break;
            at = amp + 1;
        }
    }
    request.Authorization = std::string(message[http::field::authorization]);
    request.ContentType = std::string(message[http::field::content_type]);
    if (message.has_content_length())
        request.ContentLength = std::stoull(std::string(message[http::field::content_length]));
    request.Peer = peer;
    return request;
}

template <class Stream>
class Session : public EVENT_STREAM, public std::enable_shared_from_this<Session<Stream>> {
public:
    template <class... Args>
    Session(HTTP_HANDLER& handler, std::size_t max_body, std::string peer, Args&&... args)
        : stream_(std::forward<Args>(args)...), handler_(handler), maxBody_(max_body), peer_(std::move(peer))
    {
    }

    void Start()
    {
        if constexpr (std::is_same<Stream, beast::ssl_stream<beast::tcp_stream>>::value) {
            beast::get_lowest_layer(stream_).expires_after(HANDSHAKE_TIMEOUT);
            stream_.async_handshake(ssl::stream_base::server, [self = this->shared_from_this()](beast::error_code ec) {
                if (ec)
                    return self->Close();
                self->ReadHead();
            });
        } else {
            ReadHead();
        }
    }

    bool Push(const std::string& text) override
    {
        if (!open_)
            return false;
        asio::post(stream_.get_executor(), [self = this->shared_from_this(), text] {
            if (!self->open_)
                return;
            if (self->outbox_.size() >= STREAM_BACKLOG)
                return self->Close();   // a reader this slow is let go
            self->outbox_.push_back(text);
            if (!self->writing_)
                self->WriteNext();
        });
        return true;
    }

    bool Open() const override { return open_; }

private:
    void ReadHead()
    {
        parser_.emplace();
        parser_->body_limit(maxBody_);
        parser_->header_limit(16 * 1024);
        beast::get_lowest_layer(stream_).expires_after(HEAD_TIMEOUT);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                    self->OnHead(ec);
                                });
    }

    void OnHead(beast::error_code ec)
    {
        // A Content-Length over the limit ends the head with this error.
        if (ec == http::error::body_limit)
            return Respond(TooLarge(), true);
        if (ec)
            return Close();
        std::unique_ptr<HTTP_RESPONSE> refusal;
        try {
            refusal = handler_.Check(HeadOf(parser_->get(), peer_));
        } catch (const std::exception&) {
            refusal = std::make_unique<HTTP_RESPONSE>(HTTP_RESPONSE{400, "application/json", R"({"error":"bad request"})", {}});
        }
        if (refusal)
            return Respond(std::move(*refusal), true);   // the body is not read: the connection ends
        const auto& message = parser_->get();
        if (beast::iequals(message[http::field::expect], "100-continue")) {
            auto go_on = std::make_shared<std::string>("HTTP/1.1 100 Continue\r\n\r\n");
            asio::async_write(stream_, asio::buffer(*go_on),
                              [self = this->shared_from_this(), go_on](beast::error_code ec, std::size_t) {
                                  if (ec)
                                      return self->Close();
                                  self->ReadBody();
                              });
            return;
        }
        ReadBody();
    }

    void ReadBody()
    {
        beast::get_lowest_layer(stream_).expires_after(BODY_TIMEOUT);
        http::async_read(stream_, buffer_, *parser_, [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->OnRequest(ec);
        });
    }

    void OnRequest(beast::error_code ec)
    {
        if (ec == http::error::body_limit)
            return Respond(TooLarge(), true);
        if (ec)
            return Close();
        HTTP_REQUEST request = HeadOf(parser_->get(), peer_);
        request.Body = std::move(parser_->get().body());
        const bool keep_alive = parser_->get().keep_alive();
        bool stream = false;
        HTTP_RESPONSE response;
        try {
            response = handler_.Handle(request, stream);
        } catch (const std::exception&) {
            response = HTTP_RESPONSE{500, "application/json", R"({"error":"internal error"})", {}};
            stream = false;
        }
        if (stream)
            return StartStream(response);
        Respond(std::move(response), !keep_alive);
    }

    void Respond(HTTP_RESPONSE response, bool close)
    {
        auto message = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(response.Status), 11);
        message->set(http::field::server, "printserve");
        message->set(http::field::content_type, response.ContentType);
        for (const auto& header : response.Headers)
            message->set(header.first, header.second);
        message->body() = std::move(response.Body);
        message->keep_alive(!close);
        message->prepare_payload();
        beast::get_lowest_layer(stream_).expires_after(BODY_TIMEOUT);
        http::async_write(stream_, *message, [self = this->shared_from_this(), message, close](beast::error_code ec, std::size_t) {
            if (ec || close)
                return self->Close();
            self->ReadHead();
        });
    }

    void StartStream(const HTTP_RESPONSE& head)
    {
        beast::get_lowest_layer(stream_).expires_never();
        std::string raw = "HTTP/1.1 200 OK\r\nServer: printserve\r\nContent-Type: text/event-stream\r\n"
                          "Cache-Control: no-cache\r\nConnection: close\r\n";
        for (const auto& header : head.Headers)
            raw += header.first + ": " + header.second + "\r\n";
        raw += "\r\n";
        outbox_.push_back(std::move(raw));
        WriteNext();
        // The client is gone when its side of the connection closes.
        WatchClose();
        handler_.Streaming(this->shared_from_this());
    }

    void WatchClose()
    {
        stream_.async_read_some(asio::buffer(discard_), [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec)
                return self->Close();
            self->WatchClose();
        });
    }

    void WriteNext()
    {
        if (outbox_.empty() || !open_) {
            writing_ = false;
            return;
        }
        writing_ = true;
        asio::async_write(stream_, asio::buffer(outbox_.front()),
                          [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              if (!self->outbox_.empty())
                                  self->outbox_.pop_front();
                              if (ec)
                                  return self->Close();
                              self->WriteNext();
                          });
    }

    void Close()
    {
        open_ = false;
        outbox_.clear();
        beast::error_code ignored;
        beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(stream_).socket().close(ignored);
    }

    Stream stream_;
    HTTP_HANDLER& handler_;
    std::size_t maxBody_;
    std::string peer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::deque<std::string> outbox_;
    bool writing_ = false;
    std::atomic<bool> open_{true};
    char discard_[512];
};

}  // namespace

class HTTP_SERVER::Impl {
public:
    Impl(const std::string& host, std::uint16_t port, HTTP_HANDLER& handler, std::size_t max_body,
         const std::string& chain_pem, const std::string& key_pem)
        : handler_(handler), maxBody_(max_body), acceptor_(ioc_), pause_(ioc_)
    {
        if (!chain_pem.empty()) {
            tls_ = std::make_unique<ssl::context>(ssl::context::tls_server);
            SSL_CTX_set_min_proto_version(tls_->native_handle(), TLS1_2_VERSION);
            beast::error_code ec;
            tls_->use_certificate_chain(asio::buffer(chain_pem), ec);
            if (!ec)
                tls_->use_private_key(asio::buffer(key_pem), ssl::context::pem, ec);
            if (ec)
                throw std::runtime_error("cannot use the certificate for HTTPS: " + ec.message());
        }
        beast::error_code ec;
        const auto address = asio::ip::make_address(host, ec);
        if (ec)
            throw std::runtime_error("bad address " + host);
        const tcp::endpoint endpoint(address, port);
        acceptor_.open(endpoint.protocol(), ec);
        if (!ec)
            acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec)
            acceptor_.bind(endpoint, ec);
        if (!ec)
            acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec)
            throw std::runtime_error("cannot listen on " + host + ":" + std::to_string(port) + ": " + ec.message());
        Accept();
        for (std::size_t i = 0; i < THREADS; ++i)
            threads_.emplace_back([this] {
                for (;;) {
                    try {
                        ioc_.run();
                        return;
                    } catch (const std::exception& e) {
                        std::cerr << "printserve: HTTP: " << e.what() << std::endl;
                    }
                }
            });
    }

    ~Impl() { Stop(); }

    void Stop()
    {
        if (stopped_.exchange(true))
            return;
        asio::post(ioc_, [this] {
            beast::error_code ignored;
            acceptor_.close(ignored);
            pause_.cancel();
        });
        ioc_.stop();
        for (auto& t : threads_)
            t.join();
    }

    std::uint16_t Port() const
    {
        beast::error_code ec;
        const auto endpoint = acceptor_.local_endpoint(ec);
        return ec ? 0 : endpoint.port();
    }

private:
    void Accept()
    {
        acceptor_.async_accept(asio::make_strand(ioc_), [this](beast::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted || !acceptor_.is_open())
                return;
            if (ec) {
                // Out of descriptors or memory: wait a little before trying again.
                pause_.expires_after(200ms);
                pause_.async_wait([this](beast::error_code e) {
                    if (!e)
                        Accept();
                });
                return;
            }
            beast::error_code peer_ec;
            const auto remote = socket.remote_endpoint(peer_ec);
            const std::string peer = peer_ec ? "?" : remote.address().to_string() + ":" + std::to_string(remote.port());
            try {
                if (tls_)
                    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(handler_, maxBody_, peer,
                                                                                     std::move(socket), *tls_)
                        ->Start();
                else
                    std::make_shared<Session<beast::tcp_stream>>(handler_, maxBody_, peer, std::move(socket))->Start();
            } catch (const std::exception&) {
                // no memory for this client: it is dropped
            }
            Accept();
        });
    }

    HTTP_HANDLER& handler_;
    std::size_t maxBody_;
    asio::io_context ioc_;
    tcp::acceptor acceptor_;
    asio::steady_timer pause_;
    std::unique_ptr<ssl::context> tls_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stopped_{false};
};

HTTP_SERVER::HTTP_SERVER(const std::string& host, std::uint16_t port, HTTP_HANDLER& handler, std::size_t max_body,
                         const std::string& chain_pem, const std::string& key_pem)
    : impl_(std::make_unique<Impl>(host, port, handler, max_body, chain_pem, key_pem))
{
}

HTTP_SERVER::~HTTP_SERVER() = default;

std::uint16_t HTTP_SERVER::Port() const
{
    return impl_->Port();
}

void HTTP_SERVER::Stop()
{
    impl_->Stop();
}

}  // namespace _GATEWAY
