// printserve: the print gateway. Print clients (printer.exe) connect over
// WebSocket and greet with their names; applications submit PNG labels for a
// named printer over HTTP; every job is kept on disk until its printer's
// client has it, and a web page shows clients and jobs live.
//
// Runs until SIGTERM or SIGINT. Exit status: 0 after a stop, 2 for a bad
// option or file, 3 when a port cannot be listened on, 4 when the job
// database cannot be used.

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include <boost/asio/ip/address.hpp>
#include <boost/program_options.hpp>

#include "CommandLine.h"
#include "Gateway.h"

namespace po = boost::program_options;

namespace {

std::string ReadFile(const std::string& path, bool& ok)
{
    std::ifstream in(path, std::ios::binary);
    ok = static_cast<bool>(in);
    return ok ? std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) : std::string();
}

// "90" (seconds), "90s", "30m", "24h", "7d" in milliseconds; -1 when not a duration.
long long DurationMs(const std::string& text)
{
    if (text.empty() || text.find_first_not_of("0123456789") == 0)
        return -1;
    std::size_t used = 0;
    const long long value = std::stoll(text, &used);
    const std::string unit = text.substr(used);
    const long long factor = unit.empty() || unit == "s" ? 1000 : unit == "m" ? 60000 : unit == "h" ? 3600000
                             : unit == "d" ? 86400000 : -1;
    return factor < 0 || value <= 0 ? -1 : value * factor;
}

// $STATE_DIRECTORY (given by systemd), else $XDG_STATE_HOME/zelt-printserve,
// else ~/.local/state/zelt-printserve; made when missing.
std::string StateFolder()
{
    std::string folder;
    if (const char* state = std::getenv("STATE_DIRECTORY"); state && *state)
        folder = std::string(state).substr(0, std::string(state).find(':'));
    else if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg)
        folder = std::string(xdg) + "/zelt-printserve";
    else
        folder = std::string(std::getenv("HOME") ? std::getenv("HOME") : ".") + "/.local/state/zelt-printserve";
    std::string made;
    for (std::size_t at = 0; at != std::string::npos;) {
        at = folder.find('/', at + 1);
        mkdir(folder.substr(0, at).c_str(), 0700);
    }
    return folder;
}

bool IsLoopback(const std::string& host)
{
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(host, ec);
    return !ec && address.is_loopback();
}

}  // namespace

int main(int argc, char** argv)
{
    int port = 5905, http_port = 8080;
    std::string http_host = "127.0.0.1", db, ttl = "24h", token_file, cert, key, to;
    std::vector<std::string> files;
    po::options_description desc(
        "Usage: printserve [options] [FILE.png...]\n"
        "The print gateway. Print clients connect over WebSocket on --port and greet with their\n"
        "names; applications submit PNG labels for a named printer over HTTP on --http\n"
        "(POST /api/jobs?printer=NAME with the PNG as body); every job is kept in --db until it\n"
        "has been written to its printer's client (at least once: a crash between sending and\n"
        "recording sends that job again), or until --ttl has passed. The page at / shows the\n"
        "connected printers and the jobs, live. Each FILE.png is queued for every client that\n"
        "greets (or only for --to NAME). Logs one line per event on standard output; SIGTERM or\n"
        "Ctrl-C finish the sends under way and close every client with 1001.\n"
        "Exit status: 2 bad option or file, 3 a port cannot be listened on, 4 the database\n"
        "cannot be used.\nOptions");
    desc.add_options()
        ("help,h", "this help")
        ("port", po::value<int>(&port)->default_value(5905), "WebSocket port for print clients (every IPv4 interface)")
        ("http", po::value<int>(&http_port)->default_value(8080), "HTTP port of the API and the page")
        ("http-host", po::value<std::string>(&http_host)->default_value("127.0.0.1"),
         "address the HTTP side listens on; any but loopback needs --token")
        ("db", po::value<std::string>(&db), "the job database (default: printserve.db in $STATE_DIRECTORY, "
                                            "$XDG_STATE_HOME/zelt-printserve or ~/.local/state/zelt-printserve)")
        ("ttl", po::value<std::string>(&ttl)->default_value("24h"),
         "how long a job waits for its printer before it expires (90s, 30m, 24h, 7d)")
        ("token", po::value<std::string>(&token_file),
         "file holding the API token: every /api/ request then needs \"Authorization: Bearer <token>\"")
        ("cert", po::value<std::string>(&cert), "certificate chain (PEM, the server's first): wss:// and HTTPS only")
        ("key", po::value<std::string>(&key), "the private key (PEM) of that certificate")
        ("to", po::value<std::string>(&to), "queue the FILEs only for the client that greets with this name")
        ("files", po::value<std::vector<std::string>>(&files), "PNG images");
    if (const int status = printserve::ReadCommandLine(argc, argv, desc); status >= 0)
        return status;
    const auto fail = [](const std::string& text) {
        std::cerr << "printserve: " << text << std::endl;
        return 2;
    };
    if (port < 1 || port > 65535)
        return fail("port " + std::to_string(port) + " is out of range");
    if (http_port < 0 || http_port > 65535)
        return fail("HTTP port " + std::to_string(http_port) + " is out of range");
    if (cert.empty() != key.empty())
        return fail("--cert and --key go together");

    _GATEWAY::GATEWAY_OPTIONS options;
    options.WsPort = static_cast<std::uint16_t>(port);
    options.HttpPort = static_cast<std::uint16_t>(http_port);
    options.HttpHost = http_host;
    options.To = to;
    const long long ttl_ms = DurationMs(ttl);
    if (ttl_ms < 0)
        return fail("--ttl " + ttl + " is not a duration (90s, 30m, 24h, 7d)");
    options.TtlMs = ttl_ms;
    bool ok = true;
    if (!token_file.empty()) {
        options.Token = ReadFile(token_file, ok);
        if (!ok)
            return fail("cannot read " + token_file);
        while (!options.Token.empty() && std::isspace(static_cast<unsigned char>(options.Token.back())))
            options.Token.pop_back();
        if (options.Token.empty())
            return fail(token_file + " holds no token");
    }
    if (!IsLoopback(http_host) && options.Token.empty())
        return fail("--http-host " + http_host + " lets other machines submit jobs; give --token FILE so that "
                    "only those with the token can (or keep the default, 127.0.0.1)");
    if (!cert.empty()) {
        options.CertificatePem = ReadFile(cert, ok);
        if (!ok)
            return fail("cannot read " + cert);
        options.KeyPem = ReadFile(key, ok);
        if (!ok)
            return fail("cannot read " + key);
        std::string error;
        if (!_GATEWAY::CheckCertificate(options.CertificatePem, options.KeyPem, error))
            return fail("cannot use the certificate: " + error);
    }
    for (const auto& path : files) {
        std::string png = ReadFile(path, ok);
        if (!ok)
            return fail("cannot read " + path);
        if (!_GATEWAY::LooksLikePng(png))
            return fail(path + " is not a PNG image");
        if (png.size() > _GATEWAY::MAX_PNG_BYTES)
            return fail(path + " is larger than a job may be (" + std::to_string(_GATEWAY::MAX_PNG_BYTES) + " bytes)");
        options.Files.emplace_back(path, std::move(png));
    }
    options.Database = db.empty() ? StateFolder() + "/printserve.db" : db;

    // Every thread is made with the stop signals blocked: they are taken
    // here, by sigwait.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        _GATEWAY::GATEWAY gateway(options);
        int received = 0;
        sigwait(&stop, &received);
        gateway.Stop();
    } catch (const _GATEWAY::GATEWAY_ERROR& e) {
        std::cerr << "printserve: " << e.what() << std::endl;
        return e.ExitStatus;
    }
    return 0;
}
