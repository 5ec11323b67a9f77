// The JSON envelope: server messages, and requests answered by registered
// command handlers.

#include <map>

#include "WebSocket.h"

namespace _NET {

_STRING SerializeJson(const _JSON& value)
{
    return value.dump(-1, ' ', false, _JSON::error_handler_t::strict);
}

_JSON ParseJson(const _STRING& text)
{
    // The depth a peer can make us recurse to (copying, comparing or
    // writing a value recurses once per level) stops here.
    const _JSON::parser_callback_t limit = [](int depth, _JSON::parse_event_t event, _JSON&) {
        if (depth >= MAX_JSON_DEPTH &&
            (event == _JSON::parse_event_t::object_start || event == _JSON::parse_event_t::array_start))
            throw JSON_TOO_DEEP();
        return true;
    };
    return _JSON::parse(text, limit, true, false);
}

void PostServerMsg(_OBJ<IWebSocket> socket, const _STRING& type, const _JSON& data, _INT packet_id)
{
    _JSON message = _JSON::object();
    message["_MAGIC"] = "SERVER_MSG";
    message["_TYPE"] = type;
    message["_DATA"] = data;
    message["_ID"] = packet_id;
    socket->Send(SerializeJson(message), IWebSocket::Text);
}

namespace {

class Code_WebSocketJsonProcessor : public IWebSocketJsonProcessor {
public:
    Code_WebSocketJsonProcessor() : __Ref_(0) {}
    virtual ~Code_WebSocketJsonProcessor() {}

    _IROOT_IMPLEMENTATION()

    void Execute(_OBJ<IWebSocket> socket, const _STRING& data) override
    {
        const _JSON failure = {{"_OK", false}};
        _JSON reply = failure;
        // The request stays whole until the reply is written: its "_ID" is
        // referred to, not copied.
        _JSON request;
        const _JSON* id = nullptr;
        try {
            request = ParseJson(data);
            if (request.is_object()) {
                const auto id_it = request.find("_ID");
                if (id_it != request.end())
                    id = &*id_it;
                const auto cmd_it = request.find("_CMD");
                if (cmd_it != request.end()) {
                    const _STRING& cmd = cmd_it->get_ref<const _STRING&>();
                    const auto handler = mapFunctor_.find(cmd);
                    if (handler != mapFunctor_.end()) {
                        std::optional<_JSON> result = handler->second(socket, request);
                        if (result)
                            reply = std::move(*result);
                    }
                }
            }
        } catch (...) {
            reply = failure;
        }

        // Always one answer: a reply that cannot carry the "_ID" or cannot
        // be serialised becomes {"_OK":false}.
        _STRING text;
        try {
            if (id)
                reply["_ID"] = *id;
            text = SerializeJson(reply);
        } catch (...) {
            _JSON fallback = failure;
            if (id)
                fallback["_ID"] = *id;
            try {
                text = SerializeJson(fallback);
            } catch (...) {
                text = SerializeJson(failure);   // an "_ID" that cannot be written back
            }
        }
        socket->Send(text, IWebSocket::Text);
    }

    _OBJ<IWebSocketJsonProcessor> Case(const _STRING& cmd, FUNCTOR functor) override
    {
        mapFunctor_[cmd] = std::move(functor);
        return _OBJ<IWebSocketJsonProcessor>(this);
    }

private:
    _COMREF __Ref_;
    std::map<_STRING, FUNCTOR> mapFunctor_;
};

}  // namespace

_OBJ<IWebSocketJsonProcessor> IWebSocketJsonProcessor::New()
{
    return _OBJ<IWebSocketJsonProcessor>(new Code_WebSocketJsonProcessor());
}

}  // namespace _NET
