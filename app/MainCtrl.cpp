// The print controller.

#include "MainCtrl.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cassert>
#include <iostream>
#include <memory>
#include <mutex>

#include "Codec/Base64.h"
#include "Core/CoreJson.h"
#include "Printing.h"
#include "WebSocket.h"

namespace {

bool Ctrl = false;   // one controller per process

// Text in the Windows ANSI code page as UTF-8.
_STRING AnsiToUtf8(const _STRING& text)
{
    if (text.empty())
        return text;
    const int wide_len = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(wide_len), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], wide_len);
    const int len = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, nullptr, 0, nullptr, nullptr);
    _STRING utf8(static_cast<size_t>(len), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_len, &utf8[0], len, nullptr, nullptr);
    return utf8;
}

}  // namespace

class Code_Ctrl : public IMainCtrl {
public:
    Code_Ctrl(const _STRING& url, const _STRING& driver, const _STRING& name, _INT dpi);
    virtual ~Code_Ctrl();

    _IROOT_IMPLEMENTATION()

    void EventProc_Network_Connection(_OBJ<_NET::IWebSocket> socket, bool connected);
    void EventProc_Network_Msg(_OBJ<_NET::IWebSocket> socket, const _STRING& msg, _NET::IWebSocket::OPCODE opcode);
    void NetProc_Msg_Print(const _JSON& msg);

    bool isPrinterOnline() { return QueryPrinterOnline(PrinterDriverName_); }
    HBITMAP PngToBitmapHandle(unsigned char* data, unsigned long long size) { return DecodeImageToBitmap(data, size); }
    void PrintBitmapHandle(HBITMAP bitmap) { PrintBitmapOnPrinter(PrinterDriverName_, bitmap); }

private:
    // The event callbacks reach the controller only through this guard, so
    // no event task touches it once its destruction has begun; a task that
    // is running when it begins is waited for.
    struct EVENT_GUARD {
        std::mutex Mutex_;
        Code_Ctrl* Ctrl_ = nullptr;
    };

    _COMREF __Ref_;
    _OBJ<_NET::IWebSocket> WebSocket_;
    ULONG_PTR gdiplusToken;
    _STRING PrinterDriverName_;
    _STRING PrinterName_;
    _INT ResolutionDpi_;
    bool LastPrinterOnlineStatus_;
    std::shared_ptr<EVENT_GUARD> Guard_;
};

Code_Ctrl::Code_Ctrl(const _STRING& url, const _STRING& driver, const _STRING& name, _INT dpi)
    : __Ref_(0), gdiplusToken(0), ResolutionDpi_(0), LastPrinterOnlineStatus_(false),
      Guard_(std::make_shared<EVENT_GUARD>())
{
    assert(!Ctrl);
    Ctrl = true;
    PrinterDriverName_ = driver;        // stays in the ANSI code page for the spooler
    PrinterName_ = AnsiToUtf8(name);    // the greeting is UTF-8
    ResolutionDpi_ = dpi;

    // GDI+ is up before the connection opens, so no request is decoded
    // before it.
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&gdiplusToken, &input, nullptr);

    Guard_->Ctrl_ = this;
    std::shared_ptr<EVENT_GUARD> guard = Guard_;
    WebSocket_ = _NET::IWebSocket::Connect(
        url,
        [guard](_OBJ<_NET::IWebSocket> socket, bool connected) {
            std::lock_guard<std::mutex> lock(guard->Mutex_);
            if (guard->Ctrl_)
                guard->Ctrl_->EventProc_Network_Connection(socket, connected);
        },
        [guard](_OBJ<_NET::IWebSocket> socket, const _STRING& msg, _NET::IWebSocket::OPCODE opcode) {
            std::lock_guard<std::mutex> lock(guard->Mutex_);
            if (guard->Ctrl_)
                guard->Ctrl_->EventProc_Network_Msg(socket, msg, opcode);
        });

    LastPrinterOnlineStatus_ = isPrinterOnline();
}

Code_Ctrl::~Code_Ctrl()
{
    {
        std::lock_guard<std::mutex> lock(Guard_->Mutex_);
        Guard_->Ctrl_ = nullptr;
    }
    WebSocket_ = nullptr;
    Gdiplus::GdiplusShutdown(gdiplusToken);
}

void Code_Ctrl::EventProc_Network_Connection(_OBJ<_NET::IWebSocket> socket, bool connected)
{
    try {
        if (connected) {
            std::cout << "Remote Connected" << std::endl;
            _JSON greeting = _JSON::object();
            greeting["_CMD"] = "Initialize";
            greeting["Name"] = PrinterName_;
            socket->Send(_NET::SerializeJson(greeting), _NET::IWebSocket::Text);
        } else {
            std::cout << "Remote Disconnected" << std::endl;
        }
    } catch (const std::exception& e) {
        std::cout << "ERR: " << e.what() << std::endl;
    } catch (...) {
        std::cout << "ERR: connection event failed" << std::endl;
    }
}

void Code_Ctrl::EventProc_Network_Msg(_OBJ<_NET::IWebSocket>, const _STRING& msg, _NET::IWebSocket::OPCODE)
{
    try {
        const _JSON message = _NET::ParseJson(msg);
        if (message.is_object() && message.contains("_TYPE")) {
            if (message["_TYPE"].get<_STRING>() == "Print")
                NetProc_Msg_Print(message);
        }
    } catch (...) {
        std::cout << "ERR: " << msg << std::endl;
    }
}

void Code_Ctrl::NetProc_Msg_Print(const _JSON& msg)
{
    if (!msg.contains("_DATA"))
        return;
    const _JSON data = msg["_DATA"];
    if (!data.is_object() || !data.contains("Data"))
        return;
    if (!isPrinterOnline()) {
        std::cout << "Printer is Offline" << std::endl;
        return;
    }
    const _STRING text = data["Data"].get<_STRING>();
    std::optional<_STRING> image = _CODEC::BASE64::Decode(text);
    if (!image)
        return;
    HBITMAP bitmap = PngToBitmapHandle(reinterpret_cast<unsigned char*>(&(*image)[0]), image->size());
    PrintBitmapHandle(bitmap);
    if (bitmap)
        DeleteObject(bitmap);
}

_OBJ<IMainCtrl> IMainCtrl::CreateSingleton(const _STRING& url, const _STRING& driver, const _STRING& name,
                                           _INT dpi)
{
    assert(!Ctrl);
    return _OBJ<IMainCtrl>(new Code_Ctrl(url, driver, name, dpi));
}
