// Printing benchmark, run under Wine on a CUPS queue with the cups-pdf
// backend (bench/run-print). One process holds both ends of the link: our
// listener plays the print server, and a client connection made with
// _NET::IWebSocket::Connect receives, as the printer's controller does, each
// message as a task of the SERIAL queue. That task takes the controller's
// steps in the controller's order with the same library functions, and
// stamps the time after each:
//
//   send     PostServerMsg on the server side (builds the envelope, serialises
//            it, queues it for the peer's transport thread)
//   wire     until the task starts on SERIAL (transport, copy, dispatch)
//   json     ParseJson, the "_TYPE" test, the copy of "_DATA" and of "Data"
//   check    QueryPrinterOnline (the availability check of every request)
//   base64   _CODEC::BASE64::Decode
//   png      DecodeImageToBitmap (GDI+ decoding to a GDI bitmap)
//   print    PrintBitmapOnPrinter, until it returns: EndDoc has returned and
//            the two device contexts are deleted
//
// total = send + wire + json + check + base64 + png + print.
//
// DecodeSteps and PrintSteps replay DecodeImageToBitmap's GDI+ calls and
// PrintBitmapOnPrinter's GDI calls in the benchmark itself, timing each call,
// to show where those two stages spend their time (and how little follows
// EndDoc) without any change to the product code. MemoryStages (alone in a
// process, --memory-stages) shows which stage sets the peak working set.
//
// Every figure is the median (or p90) of the samples, kept as counters; the
// "Time" column of Google Benchmark is their mean.
//
// Every request is paced: the next one is sent only once the previous job's
// PDF has been written by cups-pdf, so Ghostscript's conversion of one job
// does not share the two cores with the timing of the next.

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "Codec/Base64.h"
#include "Core/CoreJson.h"
#include "Gcd/Gcd.h"
#include "Printing.h"
#include "WebSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using _NET::IWebSocket;

// ---- options ----

struct Options {
    std::string printer;
    std::map<int, std::string> labels;   // dpi -> PNG file
    std::string pdfDir;                  // where cups-pdf writes, for pacing
    int samples = 20;
    int warmup = 2;
    int stepSamples = 10;
    bool memoryStages = false;   // only MemoryStages, in a process of its own
    int unixPid = 0;             // the Linux process id of this program
};
Options Opt;

bool Failed = false;

void Fail(benchmark::State& state, const std::string& why)
{
    Failed = true;
    state.SkipWithError(why.c_str());
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Nearest-rank percentile (p in 0..100), as in the native benchmarks.
double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(samples.size())));
    rank = std::clamp<size_t>(rank, 1, samples.size());
    return samples[rank - 1];
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// ---- pacing on the PDFs cups-pdf writes ----

class PdfPacer {
public:
    explicit PdfPacer(const std::string& dir) : Dir_(dir) { Known_ = List(); }

    // Waits until one PDF that was not there before has appeared and its size
    // has stayed the same for 300 ms (Ghostscript has finished writing it).
    bool WaitForNext(std::chrono::seconds timeout, std::string& error)
    {
        const auto end = Clock::now() + timeout;
        std::string fresh;
        unsigned long long lastSize = 0;
        int steady = 0;
        while (Clock::now() < end) {
            std::this_thread::sleep_for(100ms);
            const auto now = List();
            if (fresh.empty()) {
                for (const auto& [name, size] : now)
                    if (!Known_.count(name)) {
                        fresh = name;
                        break;
                    }
                continue;
            }
            auto it = now.find(fresh);
            const unsigned long long size = it == now.end() ? 0 : it->second;
            steady = (size > 0 && size == lastSize) ? steady + 1 : 0;
            lastSize = size;
            if (steady >= 3) {
                Known_ = now;
                std::this_thread::sleep_for(200ms);   // let the backend exit
                return true;
            }
        }
        error = fresh.empty() ? "no new PDF in " + Dir_ : "PDF " + fresh + " did not settle";
        return false;
    }

private:
    std::map<std::string, unsigned long long> List() const
    {
        std::map<std::string, unsigned long long> files;
        WIN32_FIND_DATAA data;
        HANDLE find = FindFirstFileA((Dir_ + "\\*.pdf").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return files;
        do {
            files[data.cFileName] = (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        } while (FindNextFileA(find, &data));
        FindClose(find);
        return files;
    }

    std::string Dir_;
    std::map<std::string, unsigned long long> Known_;
};

// ---- the two ends of the link ----

struct Sample {
    Clock::time_point send, sent, arrive, parsed, checked, copied, base64, png, printed;
    std::string error;
};

class Link {
public:
    bool Open(std::string& error)
    {
        // A port of the dynamic range that nothing listens on (the listener
        // itself tells: it is empty when the port is taken).
        std::mt19937 random(static_cast<unsigned>(GetCurrentProcessId()) ^ GetTickCount());
        int port = 0;
        for (int attempt = 0; attempt < 50 && !Listener_.__Ptr(); ++attempt) {
            port = 49152 + static_cast<int>(random() % 16000);
            Listener_ = _NET::IWebSocketListener::New(
                static_cast<unsigned short>(port),
                [this](_OBJ<IWebSocket> peer, bool connected) {
                    std::lock_guard<std::mutex> lock(Mutex_);
                    if (connected)
                        Peer_ = peer;
                    else
                        Peer_ = nullptr;
                    Cv_.notify_all();
                },
                [this](_OBJ<IWebSocket>, const _STRING& text, IWebSocket::OPCODE) {
                    // The only message a client sends is its greeting.
                    std::lock_guard<std::mutex> lock(Mutex_);
                    Greeting_ = text;
                    Cv_.notify_all();
                });
        }
        if (!Listener_.__Ptr()) {
            error = "no port to listen on";
            return false;
        }
        // The client side as the controller makes it: events on SERIAL, a
        // greeting on every open.
        Client_ = IWebSocket::Connect(
            "ws://127.0.0.1:" + std::to_string(port) + "/",
            [](_OBJ<IWebSocket> socket, bool connected) {
                if (connected)
                    socket->Send(R"({"Name":"bench","_CMD":"Initialize"})", IWebSocket::Text);
            },
            [this](_OBJ<IWebSocket>, const _STRING& msg, IWebSocket::OPCODE) { OnPrintRequest(msg); });
        std::unique_lock<std::mutex> lock(Mutex_);
        if (!Cv_.wait_for(lock, 30s, [this] { return Peer_.__Ptr() && !Greeting_.empty(); })) {
            error = "the client did not connect and greet within 30 s";
            return false;
        }
        return true;
    }

    void Close()
    {
        Client_ = nullptr;   // closes the link and joins its transport thread
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            Peer_ = nullptr;
        }
        if (Listener_.__Ptr())
            Listener_->Stop();
        Listener_ = nullptr;
    }

    // Sends the Base64 text of png as a "Print" request and waits until the
    // client has printed it.
    Sample Request(const std::string& base64, const std::string& png, int width, int height)
    {
        _OBJ<IWebSocket> peer;
        {
            std::lock_guard<std::mutex> lock(Mutex_);
            peer = Peer_;
            Expected_ = &png;
            ExpectedWidth_ = width;
            ExpectedHeight_ = height;
            Done_ = false;
        }
        Sample s;
        if (!peer.__Ptr()) {
            s.error = "the client is not connected";
            return s;
        }
        _JSON data = _JSON::object();
        data["Data"] = base64;
        s.send = Clock::now();
        _NET::PostServerMsg(peer, "Print", data, ++PacketId_);
        s.sent = Clock::now();

        std::unique_lock<std::mutex> lock(Mutex_);
        if (!Cv_.wait_for(lock, 120s, [this] { return Done_; })) {
            s.error = "no answer from the client within 120 s";
            Expected_ = nullptr;
            return s;
        }
        Result_.send = s.send;
        Result_.sent = s.sent;
        Expected_ = nullptr;
        return Result_;
    }

private:
    // A task of SERIAL: the controller's handling of one "Print" request.
    void OnPrintRequest(const _STRING& msg)
    {
        Sample s;
        s.arrive = Clock::now();
        std::optional<_STRING> image;
        int width = 0, height = 0;
        try {
            const _JSON message = _NET::ParseJson(msg);
            if (!message.is_object() || !message.contains("_TYPE") || message["_TYPE"].get<_STRING>() != "Print" ||
                !message.contains("_DATA"))
                throw std::runtime_error("not a print request");
            const _JSON data = message["_DATA"];
            if (!data.is_object() || !data.contains("Data"))
                throw std::runtime_error("no Data");
            s.parsed = Clock::now();
            if (!QueryPrinterOnline(Opt.printer))
                throw std::runtime_error("printer " + Opt.printer + " is not available");
            s.checked = Clock::now();
            const _STRING text = data["Data"].get<_STRING>();
            s.copied = Clock::now();
            image = _CODEC::BASE64::Decode(text);
            s.base64 = Clock::now();
            if (!image)
                throw std::runtime_error("invalid Base64");
            HBITMAP bitmap = DecodeImageToBitmap(reinterpret_cast<unsigned char*>(&(*image)[0]), image->size());
            s.png = Clock::now();
            PrintBitmapOnPrinter(Opt.printer, bitmap);
            s.printed = Clock::now();
            if (bitmap) {
                BITMAP info = {};
                GetObjectA(bitmap, sizeof(info), &info);
                width = info.bmWidth;
                height = info.bmHeight;
                DeleteObject(bitmap);
            }
        } catch (const std::exception& e) {
            s.error = e.what();
        }
        std::lock_guard<std::mutex> lock(Mutex_);
        if (s.error.empty()) {
            if (!Expected_ || !image || *image != *Expected_)
                s.error = "the decoded bytes are not the label";
            else if (width != ExpectedWidth_ || height != ExpectedHeight_)
                s.error = "bitmap " + std::to_string(width) + "x" + std::to_string(height) + ", expected " +
                          std::to_string(ExpectedWidth_) + "x" + std::to_string(ExpectedHeight_);
        }
        Result_ = s;
        Done_ = true;
        Cv_.notify_all();
    }

    std::mutex Mutex_;
    std::condition_variable Cv_;
    _OBJ<_NET::IWebSocketListener> Listener_;
    _OBJ<IWebSocket> Client_;
    _OBJ<IWebSocket> Peer_;
    _STRING Greeting_;
    _INT PacketId_ = 0;
    const std::string* Expected_ = nullptr;
    int ExpectedWidth_ = 0, ExpectedHeight_ = 0;
    bool Done_ = false;
    Sample Result_;
};

Link* TheLink = nullptr;

// Width and height from the PNG header.
bool PngSize(const std::string& png, int& width, int& height)
{
    if (png.size() < 24 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || png.compare(12, 4, "IHDR") != 0)
        return false;
    auto be32 = [&](size_t o) {
        return (static_cast<unsigned char>(png[o]) << 24) | (static_cast<unsigned char>(png[o + 1]) << 16) |
               (static_cast<unsigned char>(png[o + 2]) << 8) | static_cast<unsigned char>(png[o + 3]);
    };
    width = static_cast<int>(be32(16));
    height = static_cast<int>(be32(20));
    return true;
}

struct Label {
    std::string png, base64;
    int width = 0, height = 0;
};

bool LoadLabel(benchmark::State& state, int dpi, Label& label)
{
    label.png = ReadFile(Opt.labels[dpi]);
    if (!PngSize(label.png, label.width, label.height)) {
        Fail(state, "not a PNG: " + Opt.labels[dpi]);
        return false;
    }
    auto encoded = _CODEC::BASE64::Encode(label.png);
    if (!encoded) {
        Fail(state, "cannot encode the label");
        return false;
    }
    label.base64 = *encoded;
    return true;
}

// ---- send to EndDoc, stage by stage ----

void BM_PrintLabel(benchmark::State& state, int dpi)
{
    Label label;
    if (!LoadLabel(state, dpi, label))
        return;
    PdfPacer pacer(Opt.pdfDir);
    std::string error;
    for (int i = 0; i < Opt.warmup; ++i) {
        const Sample s = TheLink->Request(label.base64, label.png, label.width, label.height);
        if (!s.error.empty() || !pacer.WaitForNext(120s, error))
            return Fail(state, "warm-up: " + (s.error.empty() ? error : s.error));
    }

    std::map<std::string, std::vector<double>> stages;
    std::vector<double> total, base64Share, pngShare;
    for (auto _ : state) {
        const Sample s = TheLink->Request(label.base64, label.png, label.width, label.height);
        if (!s.error.empty())
            return Fail(state, s.error);
        const double t = Ms(s.printed - s.send);
        state.SetIterationTime(t / 1000.0);
        total.push_back(t);
        stages["send"].push_back(Ms(s.sent - s.send));
        stages["wire"].push_back(Ms(s.arrive - s.sent));
        stages["json"].push_back(Ms(s.parsed - s.arrive) + Ms(s.copied - s.checked));
        stages["check"].push_back(Ms(s.checked - s.parsed));
        stages["base64"].push_back(Ms(s.base64 - s.copied));
        stages["png"].push_back(Ms(s.png - s.base64));
        stages["print"].push_back(Ms(s.printed - s.png));
        base64Share.push_back(100.0 * Ms(s.base64 - s.copied) / t);
        pngShare.push_back(100.0 * Ms(s.png - s.base64) / t);
        if (!pacer.WaitForNext(120s, error))
            return Fail(state, error);
    }
    state.counters["total_p50_ms"] = Percentile(total, 50);
    state.counters["total_p90_ms"] = Percentile(total, 90);
    state.counters["total_min_ms"] = Percentile(total, 0);
    state.counters["total_max_ms"] = Percentile(total, 100);
    for (const auto& [name, values] : stages)
        state.counters[name + "_p50_ms"] = Percentile(values, 50);
    state.counters["base64_share_p50_pct"] = Percentile(base64Share, 50);
    state.counters["png_share_p50_pct"] = Percentile(pngShare, 50);
    state.counters["png_bytes"] = static_cast<double>(label.png.size());
    state.counters["base64_chars"] = static_cast<double>(label.base64.size());
    state.counters["width_px"] = label.width;
    state.counters["height_px"] = label.height;
    state.SetLabel(std::to_string(label.width) + "x" + std::to_string(label.height) + " px");
}

// ---- PrintBitmapOnPrinter's GDI sequence, call by call ----

void BM_PrintSteps(benchmark::State& state, int dpi)
{
    Label label;
    if (!LoadLabel(state, dpi, label))
        return;
    HBITMAP bitmap = DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(label.png.data()), label.png.size());
    if (!bitmap)
        return Fail(state, "GDI+ cannot decode the label");
    PdfPacer pacer(Opt.pdfDir);
    std::string error;

    std::map<std::string, std::vector<double>> steps;
    // One job, call by call; false and a reason when a call fails.
    auto job = [&](bool record) -> bool {
        BITMAP info = {};
        GetObjectA(bitmap, sizeof(BITMAP), &info);
        const auto t0 = Clock::now();
        HDC memory = CreateCompatibleDC(nullptr);
        HGDIOBJ old = memory ? SelectObject(memory, bitmap) : nullptr;
        const auto t1 = Clock::now();
        HDC printer = CreateDCA(nullptr, Opt.printer.c_str(), nullptr, nullptr);
        const auto t2 = Clock::now();
        DOCINFOA doc = {};
        doc.cbSize = sizeof(doc);
        doc.lpszDocName = "Print Job";
        const int started = printer ? StartDocA(printer, &doc) : 0;
        const auto t3 = Clock::now();
        const int page = started > 0 ? StartPage(printer) : 0;
        const auto t4 = Clock::now();
        const BOOL blt = page > 0 ? BitBlt(printer, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY) : FALSE;
        const auto t5 = Clock::now();
        const int pageEnd = page > 0 ? EndPage(printer) : 0;
        const auto t6 = Clock::now();
        const int docEnd = started > 0 ? EndDoc(printer) : 0;
        const auto t7 = Clock::now();
        if (old)
            SelectObject(memory, old);
        if (memory)
            DeleteDC(memory);
        if (printer)
            DeleteDC(printer);
        const auto t8 = Clock::now();
        if (!memory || !old || !printer || started <= 0 || page <= 0 || !blt || pageEnd <= 0 || docEnd <= 0) {
            error = "a GDI call failed (memory DC " + std::to_string(memory != nullptr) + ", select " +
                    std::to_string(old != nullptr) + ", printer DC " + std::to_string(printer != nullptr) +
                    ", StartDoc " + std::to_string(started) + ", StartPage " + std::to_string(page) +
                    ", BitBlt " + std::to_string(blt) + ", EndPage " + std::to_string(pageEnd) + ", EndDoc " +
                    std::to_string(docEnd) + ")";
            return false;
        }
        if (record) {
            state.SetIterationTime(std::chrono::duration<double>(t8 - t0).count());
            steps["memdc"].push_back(Ms(t1 - t0));
            steps["createdc"].push_back(Ms(t2 - t1));
            steps["startdoc"].push_back(Ms(t3 - t2));
            steps["startpage"].push_back(Ms(t4 - t3));
            steps["bitblt"].push_back(Ms(t5 - t4));
            steps["endpage"].push_back(Ms(t6 - t5));
            steps["enddoc"].push_back(Ms(t7 - t6));
            steps["release"].push_back(Ms(t8 - t7));
            steps["to_enddoc"].push_back(Ms(t7 - t0));
            steps["whole"].push_back(Ms(t8 - t0));
        }
        return true;
    };

    for (int i = 0; i < std::min(Opt.warmup, 1); ++i)
        if (!job(false) || !pacer.WaitForNext(120s, error)) {
            DeleteObject(bitmap);
            return Fail(state, "warm-up: " + error);
        }
    for (auto _ : state) {
        if (!job(true) || !pacer.WaitForNext(120s, error)) {
            DeleteObject(bitmap);
            return Fail(state, error);
        }
    }
    DeleteObject(bitmap);
    for (const auto& [name, values] : steps)
        state.counters[name + "_p50_ms"] = Percentile(values, 50);
    state.SetLabel(std::to_string(label.width) + "x" + std::to_string(label.height) + " px");
}

// ---- DecodeImageToBitmap's steps, one by one (nothing is printed) ----

void BM_DecodeSteps(benchmark::State& state, int dpi)
{
    Label label;
    if (!LoadLabel(state, dpi, label))
        return;
    std::map<std::string, std::vector<double>> steps;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, label.png.size());
        void* target = memory ? GlobalLock(memory) : nullptr;
        if (!target)
            return Fail(state, "GlobalAlloc failed");
        std::memcpy(target, label.png.data(), label.png.size());
        GlobalUnlock(memory);
        IStream* stream = nullptr;
        if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
            GlobalFree(memory);
            return Fail(state, "CreateStreamOnHGlobal failed");
        }
        const auto t1 = Clock::now();
        Gdiplus::Bitmap* image = Gdiplus::Bitmap::FromStream(stream, FALSE);
        stream->Release();
        const auto t2 = Clock::now();
        HBITMAP bitmap = nullptr;
        if (!image || image->GetLastStatus() != Gdiplus::Ok ||
            image->GetHBITMAP(Gdiplus::Color(255, 255, 255, 255), &bitmap) != Gdiplus::Ok || !bitmap) {
            delete image;
            return Fail(state, "GDI+ cannot decode the label");
        }
        const auto t3 = Clock::now();
        delete image;
        const auto t4 = Clock::now();
        DeleteObject(bitmap);
        state.SetIterationTime(std::chrono::duration<double>(t4 - t0).count());
        steps["copy"].push_back(Ms(t1 - t0));
        steps["frombitmap"].push_back(Ms(t2 - t1));
        steps["gethbitmap"].push_back(Ms(t3 - t2));
        steps["dispose"].push_back(Ms(t4 - t3));
        steps["whole"].push_back(Ms(t4 - t0));
    }
    for (const auto& [name, values] : steps)
        state.counters[name + "_p50_ms"] = Percentile(values, 50);
    state.SetLabel(std::to_string(label.width) + "x" + std::to_string(label.height) + " px");
}

// ---- memory of each stage ----

// The process's working set and its peak, in KiB. Under Wine they are the
// Linux process's VmRSS and VmHWM.
struct Memory {
    double now = 0, peak = 0;
};

Memory ReadMemory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    Memory m;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        m.now = static_cast<double>(counters.WorkingSetSize) / 1024.0;
        m.peak = static_cast<double>(counters.PeakWorkingSetSize) / 1024.0;
    }
    return m;
}

// Starts a new peak at the present working set: Linux resets VmHWM on "5"
// written to the process's clear_refs, reached through Wine's drive Z:. Wine
// opens files in its server process, so /proc/self would be the server: the
// Linux process id comes from the command line.
std::string ProcPath(const char* file)
{
    return "Z:\\proc\\" + std::to_string(Opt.unixPid) + "\\" + file;
}

bool ResetPeak()
{
    HANDLE file = CreateFileA(ProcPath("clear_refs").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, "5", 1, &written, nullptr);
    CloseHandle(file);
    return ok && written == 1;
}

// One request handled stage by stage on the benchmark thread, from the
// message text the server sends to the end of the job, with the peak working
// set reset before each stage: for each stage, the highest working set during
// it and the working set at its end, both above the working set at the start
// of the request. Stages: json (parse, copies of "_DATA" and "Data"), base64,
// png (DecodeImageToBitmap), then PrintBitmapOnPrinter's GDI sequence as
// startdoc (memory DC, printer DC, StartDoc, StartPage), bitblt, enddoc
// (EndPage, EndDoc) and release (DCs, bitmap, message and image copies).
// Run in a process of its own (bench/run-print does so, with --memory-stages).
// Two rounds: the first also pays for one-time loading (the PostScript
// driver, its fonts and caches); the figures are those of the second.
void BM_MemoryStages(benchmark::State& state, int dpi)
{
    Label label;
    if (!LoadLabel(state, dpi, label))
        return;
    // The process id must be this process: Wine puts the program's path
    // first in its command line.
    const std::string cmdline = ReadFile(ProcPath("cmdline"));
    const std::string program = cmdline.substr(0, cmdline.find('\0'));
    if (program.size() < 15 || program.compare(program.size() - 15, 15, "bench_print.exe") != 0)
        return Fail(state, "Linux process " + std::to_string(Opt.unixPid) + " is not this program");
    if (!ResetPeak())
        return Fail(state, "cannot reset the peak working set through " + ProcPath("clear_refs"));
    _JSON envelope = _JSON::object();
    envelope["_MAGIC"] = "SERVER_MSG";
    envelope["_TYPE"] = "Print";
    envelope["_DATA"] = {{"Data", label.base64}};
    envelope["_ID"] = 1;
    const _STRING text = _NET::SerializeJson(envelope);
    envelope = nullptr;
    PdfPacer pacer(Opt.pdfDir);
    std::string error;

    // For each stage, in KiB above the working set at the start of the
    // request: the highest working set during the stage, and the working
    // set at its end.
    std::vector<std::pair<std::string, Memory>> marks;
    Memory start;
    auto stage = [&](const char* name, auto&& body) {
        ResetPeak();   // the peak starts again at the present working set
        body();
        const Memory after = ReadMemory();
        marks.push_back({name, {after.now - start.now, after.peak - start.now}});
    };
    int round = 0;
    for (auto _ : state) {
        ++round;
        marks.clear();
        const auto t0 = Clock::now();
        start = ReadMemory();
        _JSON message, data;
        _STRING copy;
        std::optional<_STRING> image;
        HBITMAP bitmap = nullptr;
        HDC memory = nullptr, printer = nullptr;
        HGDIOBJ old = nullptr;
        int started = 0, page = 0;
        BITMAP info = {};
        stage("json", [&] {
            message = _NET::ParseJson(text);
            data = message["_DATA"];
            copy = data["Data"].get<_STRING>();
        });
        stage("base64", [&] { image = _CODEC::BASE64::Decode(copy); });
        if (!image || *image != label.png)
            return Fail(state, "the decoded bytes are not the label");
        stage("png", [&] {
            bitmap = DecodeImageToBitmap(reinterpret_cast<unsigned char*>(&(*image)[0]), image->size());
        });
        if (!bitmap)
            return Fail(state, "GDI+ cannot decode the label");
        GetObjectA(bitmap, sizeof(info), &info);
        stage("startdoc", [&] {
            memory = CreateCompatibleDC(nullptr);
            old = memory ? SelectObject(memory, bitmap) : nullptr;
            printer = CreateDCA(nullptr, Opt.printer.c_str(), nullptr, nullptr);
            DOCINFOA doc = {};
            doc.cbSize = sizeof(doc);
            doc.lpszDocName = "Print Job";
            started = printer ? StartDocA(printer, &doc) : 0;
            page = started > 0 ? StartPage(printer) : 0;
        });
        stage("bitblt", [&] {
            if (page > 0)
                BitBlt(printer, 0, 0, info.bmWidth, info.bmHeight, memory, 0, 0, SRCCOPY);
        });
        stage("enddoc", [&] {
            if (page > 0)
                EndPage(printer);
            if (started > 0)
                EndDoc(printer);
        });
        stage("release", [&] {
            if (old)
                SelectObject(memory, old);
            if (memory)
                DeleteDC(memory);
            if (printer)
                DeleteDC(printer);
            DeleteObject(bitmap);
            message = nullptr;
            data = nullptr;
            copy.clear();
            copy.shrink_to_fit();
            image.reset();
        });
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - t0).count());
        if (!memory || !old || !printer || started <= 0 || page <= 0)
            return Fail(state, "a GDI call failed");
        if (!pacer.WaitForNext(120s, error))
            return Fail(state, error);
        if (round == 1) {
            double rise = 0;
            for (const auto& [name, m] : marks)
                rise = std::max(rise, m.peak);
            state.counters["cold_max_rise_KiB"] = rise;
        }
    }
    double rise = 0;
    for (const auto& [name, m] : marks) {
        state.counters[name + "_peak_KiB"] = m.peak;
        state.counters[name + "_end_KiB"] = m.now;
        rise = std::max(rise, m.peak);
    }
    state.counters["max_rise_KiB"] = rise;
    state.counters["message_chars"] = static_cast<double>(text.size());
    state.counters["start_ws_KiB"] = start.now;
    state.SetLabel(std::to_string(label.width) + "x" + std::to_string(label.height) + " px");
}

// Takes our own options out of argv (the rest is Google Benchmark's).
bool ParseOptions(int& argc, char** argv)
{
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name, std::string& into) {
            const std::string prefix = std::string(name) + "=";
            if (arg.rfind(prefix, 0) != 0)
                return false;
            into = arg.substr(prefix.size());
            return true;
        };
        std::string v;
        if (value("--printer", Opt.printer) || value("--pdf-dir", Opt.pdfDir))
            continue;
        if (value("--label", v)) {   // --label=DPI:FILE
            const auto colon = v.find(':');
            if (colon == std::string::npos)
                return false;
            Opt.labels[std::stoi(v.substr(0, colon))] = v.substr(colon + 1);
            continue;
        }
        if (value("--samples", v)) {
            Opt.samples = std::stoi(v);
            continue;
        }
        if (value("--warmup", v)) {
            Opt.warmup = std::stoi(v);
            continue;
        }
        if (arg == "--memory-stages") {
            Opt.memoryStages = true;
            continue;
        }
        if (value("--unix-pid", v)) {
            Opt.unixPid = std::stoi(v);
            continue;
        }
        if (value("--step-samples", v)) {
            Opt.stepSamples = std::stoi(v);
            continue;
        }
        argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
    return !Opt.printer.empty() && !Opt.pdfDir.empty() && !Opt.labels.empty() && Opt.samples > 0 &&
           Opt.warmup >= 0 && Opt.stepSamples >= 0 && (!Opt.memoryStages || Opt.unixPid > 0);
}

void RegisterTimings()
{
    for (const auto& [dpi, file] : Opt.labels)
        benchmark::RegisterBenchmark(("PrintLabel/dpi:" + std::to_string(dpi)).c_str(), BM_PrintLabel, dpi)
            ->Iterations(Opt.samples)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    for (const auto& [dpi, file] : Opt.labels)
        benchmark::RegisterBenchmark(("DecodeSteps/dpi:" + std::to_string(dpi)).c_str(), BM_DecodeSteps, dpi)
            ->Iterations(Opt.samples)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    if (Opt.stepSamples > 0)
        for (const auto& [dpi, file] : Opt.labels)
            benchmark::RegisterBenchmark(("PrintSteps/dpi:" + std::to_string(dpi)).c_str(), BM_PrintSteps, dpi)
                ->Iterations(Opt.stepSamples)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv)
{
    if (!ParseOptions(argc, argv)) {
        std::fprintf(stderr,
                     "usage: bench_print --printer=NAME --pdf-dir=DIR --label=DPI:FILE.png... [--samples=20] "
                     "[--warmup=2] [--step-samples=10] [--memory-stages --unix-pid=PID] [google-benchmark options]\n");
        return 2;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;

    if (Opt.memoryStages) {
        for (const auto& [dpi, file] : Opt.labels)
            benchmark::RegisterBenchmark(("MemoryStages/dpi:" + std::to_string(dpi)).c_str(), BM_MemoryStages, dpi)
                ->Iterations(2)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
    } else {
        RegisterTimings();
    }

    // The benchmarks run on a thread of their own while _GCD::Run owns the
    // main thread, as in the printer; they end the run loop when done.
    ULONG_PTR gdiplus = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplus, &input, nullptr);
    std::thread driver;
    _GCD::Run(
        [&] {
            driver = std::thread([&] {
                Link link;
                std::string error;
                if (!QueryPrinterOnline(Opt.printer)) {
                    std::fprintf(stderr, "bench_print: printer %s is not available\n", Opt.printer.c_str());
                    Failed = true;
                } else if (!link.Open(error)) {
                    std::fprintf(stderr, "bench_print: %s\n", error.c_str());
                    Failed = true;
                } else {
                    TheLink = &link;
                    benchmark::RunSpecifiedBenchmarks();
                    TheLink = nullptr;
                }
                link.Close();
                _GCD::Exit();
            });
        },
        nullptr, nullptr, 0);
    driver.join();
    Gdiplus::GdiplusShutdown(gdiplus);
    benchmark::Shutdown();
    return Failed ? 1 : 0;
}
