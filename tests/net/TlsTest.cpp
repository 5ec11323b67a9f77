// wss:// links: our client against the independent `ws` server over TLS, the
// refusals an administrator must be able to act on, and our listener with a
// certificate against the `ws` client and against our own client. The
// certificates come from a throw-away CA made by the openssl command.

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "../core/RunLoopHelper.h"
#include "ClientProbe.h"
#include "Transport.h"

using namespace _NET;
using Clock = std::chrono::steady_clock;

namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Tls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/zp-pki-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        Pki = dir;
        ASSERT_EQ(std::system(("sh " ZP_SCRIPTS_DIR "/lib/make_pki.sh " + Pki).c_str()), 0);
        ASSERT_TRUE(Transport::AddTrustedCertificates(ReadFile(Pki + "/ca.pem")));
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + Pki).c_str()); }

    // The `ws` echo server over TLS with one of the certificates.
    static std::vector<std::string> Serving(const std::string& name, const std::string& only = "")
    {
        std::vector<std::string> env = {"ZP_TLS_CERT=" + Pki + "/" + name + ".pem",
                                        "ZP_TLS_KEY=" + Pki + "/" + name + ".key"};
        if (!only.empty())
            env.push_back("ZP_TLS_ONLY=" + only);
        return env;
    }

    static std::string Pki;
};
std::string Tls::Pki;

std::string Wss(const std::string& host, int port) { return "wss://" + host + ":" + std::to_string(port) + "/"; }

TEST_F(Tls, EchoLargeMessagesAndReconnectionOverTls)
{
    // chain.pem: the server's certificate followed by the CA's, as servers send it.
    NodeWsServer server(0, {"ZP_TLS_CERT=" + Pki + "/chain.pem", "ZP_TLS_KEY=" + Pki + "/server.key"});
    ASSERT_GT(server.Port(), 0);
    WithRunLoop([&] {
        ClientProbe byName, byAddress;
        byName.Connect(Wss("localhost", server.Port()));
        byAddress.Connect(Wss("127.0.0.1", server.Port()));   // matched against the IP address of the certificate
        ASSERT_TRUE(byName.events.WaitCount("open", 1));
        ASSERT_TRUE(byAddress.events.WaitCount("open", 1));

        byName.ws->Send("hello", IWebSocket::Text);
        ASSERT_TRUE(byName.events.WaitCount("txt:hello", 1));
        std::string big(20 << 20, '\0');
        for (size_t i = 0; i < big.size(); ++i)
            big[i] = static_cast<char>((i * 13) & 0xff);
        byName.ws->Send(big, IWebSocket::Binary);
        ASSERT_TRUE(byName.events.WaitCount("bin:len=20971520", 1, 60s));
        EXPECT_TRUE(byName.LastMessage() == big);

        byName.ws->Send("!restart 300", IWebSocket::Text);
        EXPECT_TRUE(server.WaitRelisten());
        EXPECT_TRUE(byName.events.WaitCount("open", 2, 20s));
        byName.ws->Send("again", IWebSocket::Text);
        EXPECT_TRUE(byName.events.WaitCount("txt:again", 1));
    });
}

// Each refusal is a failed attempt retried with the usual back-off, and one
// line on standard error that names the reason and the server.
TEST_F(Tls, RefusalsAreOneLineEachAndRetried)
{
    struct Case {
        std::string what;
        std::vector<std::string> env;   // empty: a plain ws:// server
        std::string host;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"unknown CA", Serving("rogue"), "localhost", "certificate verify failed: unable to get local issuer certificate"},
        {"wrong host name", Serving("other"), "localhost", "certificate verify failed: hostname mismatch"},
        {"wrong address", Serving("other"), "127.0.0.1", "certificate verify failed: IP address mismatch"},
        {"expired certificate", Serving("expired"), "localhost", "certificate verify failed: certificate has expired"},
        {"TLS 1.0 only", Serving("server", "TLSv1"), "localhost", "tlsv1 alert protocol version"},
        {"plain server", {}, "127.0.0.1", "wrong version number"},
    };
    for (const Case& c : cases) {
        NodeWsServer server(0, c.env);
        ASSERT_GT(server.Port(), 0) << c.what;
        WithRunLoop([&] {
            ::testing::internal::CaptureStderr();
            ClientProbe probe;
            probe.Connect(Wss(c.host, server.Port()));
            std::this_thread::sleep_for(1600ms);   // four attempts or more
            probe.ws->Disconnect();
            const std::string said = ::testing::internal::GetCapturedStderr();
            const std::string line =
                "TLS: " + c.reason + " (" + c.host + ":" + std::to_string(server.Port()) + ")\n";
            EXPECT_EQ(said, line) << c.what;
            EXPECT_TRUE(probe.events.Events().empty()) << c.what;
        });
    }

    // A server that accepts TCP and never answers the TLS handshake.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor mute(ioc, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    std::vector<boost::asio::ip::tcp::socket> held;
    std::function<void()> accept = [&] {
        mute.async_accept([&](const boost::system::error_code& ec, boost::asio::ip::tcp::socket s) {
            if (!ec) {
                held.push_back(std::move(s));
                accept();
            }
        });
    };
    accept();
    std::thread server([&] { ioc.run(); });
    WithRunLoop([&] {
        ::testing::internal::CaptureStderr();
        ClientProbe probe;
        probe.Connect(Wss("127.0.0.1", mute.local_endpoint().port()));
        std::this_thread::sleep_for(5600ms);   // the handshake time-out is 5 s
        probe.ws->Disconnect();
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(said, "TLS: handshake timed out (127.0.0.1:" + std::to_string(mute.local_endpoint().port()) + ")\n");
    });
    ioc.stop();
    server.join();
}

TEST_F(Tls, OurListenerWithACertificate)
{
    IWebSocketListener::TLS_IDENTITY identity{ReadFile(Pki + "/chain.pem"), ReadFile(Pki + "/server.key")};
    const int port = FreePort();
    _OBJ<IWebSocketListener> listener = IWebSocketListener::NewSecure(
        static_cast<unsigned short>(port), nullptr,
        [](_OBJ<IWebSocket> c, const _STRING& data, IWebSocket::OPCODE op) {
            if (data == "!disconnect")
                c->Disconnect();
            else
                c->Send(data, op);
        },
        identity);
    ASSERT_TRUE(listener.IsValid());

    // A key that is not the certificate's is refused, with the reason.
    _STRING error;
    EXPECT_FALSE(IWebSocketListener::NewSecure(static_cast<unsigned short>(FreePort()), nullptr, nullptr,
                                               {identity.CertificateChainPem, ReadFile(Pki + "/other.key")}, &error)
                     .IsValid());
    EXPECT_EQ(error, "cannot use the private key with the certificate: key values mismatch");

    // A client that opens TCP and never speaks TLS does not hold up others,
    // and is dropped by the handshake time-out.
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::socket silent(ioc);
    silent.connect({boost::asio::ip::make_address_v4("127.0.0.1"), static_cast<unsigned short>(port)});
    const auto start = Clock::now();

    ChildProcess client({"env", "NODE_PATH=" ZP_NODE_MODULES, "ZP_TLS_CA=" + Pki + "/ca.pem", "node",
                         ZP_PEERS_DIR "/ws_client.js", Wss("localhost", port)});
    std::string line, failures;
    while (client.ReadLine(line))
        if (line.rfind("OK ", 0) != 0)
            failures += line + "\n";
    EXPECT_EQ(client.Wait(), 0) << failures;
    EXPECT_EQ(failures, "");

    WithRunLoop([&] {
        ClientProbe ours;
        ours.Connect(Wss("localhost", port));
        ASSERT_TRUE(ours.events.WaitCount("open", 1));
        ours.ws->Send("over TLS", IWebSocket::Text);
        EXPECT_TRUE(ours.events.WaitCount("txt:over TLS", 1));
    });

    char byte;
    boost::system::error_code ec;
    silent.read_some(boost::asio::buffer(&byte, 1), ec);
    EXPECT_TRUE(ec);
    EXPECT_GE(Clock::now() - start, 2900ms);
    listener->Stop();
}

}  // namespace
