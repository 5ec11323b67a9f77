// printserve for Windows: the serving end of the print protocol, for trying
// out a printer installation. It listens for print clients, answers each
// client's "Initialize" and sends it every given PNG as a "Print" server
// message. (The print gateway, with its job queue and HTTP API, is the
// native printserve: Main.cpp.)
//
//   printserve [--port 5905] [--to NAME] [--cert CHAIN.pem --key KEY.pem] FILE.png...
//
// With a certificate chain and its private key it serves wss:// only.
// Runs until interrupted (Ctrl-C or SIGTERM).

#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include <boost/program_options.hpp>

#include "CommandLine.h"

#include "Codec/Base64.h"
#include "WebSocket.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace po = boost::program_options;

namespace {

std::atomic<bool> flagInterrupted_(false);
std::mutex ConsoleMutex_;

void Say(const std::string& line)
{
    std::lock_guard<std::mutex> lock(ConsoleMutex_);
    std::cout << line << std::endl;
}

struct IMAGE {
    std::string path;
    std::string base64;
    size_t bytes;
};

// Command-line text as UTF-8 (Windows hands it over in the ANSI code page).
std::string ArgumentToUtf8(const std::string& text)
{
#ifdef _WIN32
    const int wide_len = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(wide_len), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], wide_len);
    const int len = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, &utf8[0], len, nullptr, nullptr);
    return utf8;
#else
    return text;
#endif
}

// Reads a PNG file; an empty error means success.
IMAGE LoadPng(const std::string& path, std::string& error)
{
    IMAGE image{path, std::string(), 0};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return image;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    static const char SIGNATURE[] = "\x89PNG\r\n\x1a\n";
    if (bytes.size() < 8 || bytes.compare(0, 8, SIGNATURE, 8) != 0) {
        error = path + " is not a PNG image";
        return image;
    }
    image.bytes = bytes.size();
    image.base64 = *_CODEC::BASE64::Encode(bytes);
    return image;
}

void OnSignal(int)
{
    flagInterrupted_ = true;
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 5905;
    std::string to, cert, key;
    std::vector<std::string> files;
    po::options_description desc(
        "Usage: printserve [--port 5905] [--to NAME] [--cert CHAIN.pem --key KEY.pem] FILE.png...\nOptions");
    desc.add_options()
        ("help,h", "this help")
        ("port", po::value<int>(&port)->default_value(5905), "TCP port to listen on")
        ("to", po::value<std::string>(&to), "send only to the client that greets with this name")
        ("cert", po::value<std::string>(&cert),
         "certificate chain (PEM, the server's certificate first): serve wss:// only")
        ("key", po::value<std::string>(&key), "the private key (PEM) of that certificate")
        ("files", po::value<std::vector<std::string>>(&files), "PNG images to send");
    if (const int status = printserve::ReadCommandLine(argc, argv, desc); status >= 0)
        return status;
    if (files.empty()) {
        std::cerr << "printserve: no PNG file given\n" << desc << std::endl;
        return 2;
    }
    if (port < 1 || port > 65535) {
        std::cerr << "printserve: port " << port << " is out of range" << std::endl;
        return 2;
    }
    if (cert.empty() != key.empty()) {
        std::cerr << "printserve: --cert and --key go together" << std::endl;
        return 2;
    }
    _NET::IWebSocketListener::TLS_IDENTITY identity;
    for (const auto& [path, into] : {std::make_pair(cert, &identity.CertificateChainPem),
                                     std::make_pair(key, &identity.PrivateKeyPem)}) {
        if (path.empty())
            continue;
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::cerr << "printserve: cannot read " << path << std::endl;
            return 2;
        }
        into->assign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    to = ArgumentToUtf8(to);

    std::vector<IMAGE> images;
    for (const auto& path : files) {
        std::string error;
        images.push_back(LoadPng(path, error));
        if (!error.empty()) {
            std::cerr << "printserve: " << error << std::endl;
            return 2;
        }
    }

    std::atomic<_INT> packet(0);
    _OBJ<_NET::IWebSocketJsonProcessor> processor = _NET::IWebSocketJsonProcessor::New();
    processor->Case("Initialize", [&](_OBJ<_NET::IWebSocket> socket, const _JSON& request) -> std::optional<_JSON> {
        const auto name_it = request.find("Name");
        const std::string name = name_it != request.end() && name_it->is_string() ? name_it->get<std::string>() : "";
        Say("client \"" + name + "\" greeted");
        if (to.empty() || to == name) {
            for (const IMAGE& image : images) {
                const _INT id = ++packet;
                _NET::PostServerMsg(socket, "Print", {{"Data", image.base64}}, id);
                std::ostringstream line;
                line << "sent " << image.path << " (" << image.bytes << " bytes) to \"" << name << "\" as packet "
                     << id;
                Say(line.str());
            }
        }
        return _JSON{{"_OK", true}};
    });

    const auto on_connection = [](_OBJ<_NET::IWebSocket>, bool connected) {
        Say(connected ? "client connected" : "client disconnected");
    };
    const auto on_msg = [processor](_OBJ<_NET::IWebSocket> socket, const _STRING& data, _NET::IWebSocket::OPCODE) {
        processor->Execute(socket, data);
    };
    _OBJ<_NET::IWebSocketListener> listener;
    if (cert.empty()) {
        listener = _NET::IWebSocketListener::New(static_cast<unsigned short>(port), on_connection, on_msg);
    } else {
        // A certificate that cannot be used is a bad option (2), a port that
        // cannot be listened on is 3.
        std::string error;
        listener = _NET::IWebSocketListener::NewSecure(static_cast<unsigned short>(port), on_connection, on_msg,
                                                       identity, &error);
        if (!listener && error.rfind("cannot ", 0) == 0) {
            std::cerr << "printserve: " << error << std::endl;
            return 2;
        }
    }
    if (!listener) {
        std::cerr << "printserve: cannot listen on port " << port << " (is it in use?)" << std::endl;
        return 3;
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    Say(std::string(cert.empty() ? "listening" : "listening (wss://)") + " on port " + std::to_string(port) + " with " + std::to_string(images.size()) +
        " image(s)" + (to.empty() ? "" : " for \"" + to + "\"") + "; Ctrl-C stops");
    while (!flagInterrupted_)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    listener->Stop();
    Say("stopped");
    return 0;
}
