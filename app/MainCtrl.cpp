// The print controller.

#include "MainCtrl.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cassert>
#include <iostream>

#include "Codec/Base64.h"
#include "Core/CoreJson.h"
#include "Gcd/TaskGuard.h"
#include "ImageSize.h"
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
    HBITMAP PngToBitmapHandle(unsigned char* data, unsigned long long size, unsigned long long max_pixels,
                              IMAGE_SIZE* decoded)
    {
        return DecodeImageToBitmap(data, size, max_pixels, decoded);
    }
    void PrintBitmapHandle(HBITMAP bitmap) { PrintBitmapOnPrinter(PrinterDriverName_, bitmap); }

private:
    _COMREF __Ref_;
    _OBJ<_NET::IWebSocket> WebSocket_;
    ULONG_PTR gdiplusToken;
    _STRING PrinterDriverName_;
    _STRING PrinterName_;
    _INT ResolutionDpi_;
    bool LastPrinterOnlineStatus_;
    // The connection's callbacks reach the controller only through this
    // guard, which the destructor closes first.
    _GCD::TASK_GUARD Guard_;
};

namespace {

void ReportImageTooLarge(const IMAGE_SIZE& image, const IMAGE_BOUND& bound)
{
    std::cout << "Image too large to print: " << image.Width << "x" << image.Height << " pixels, more than "
              << bound.MaxPixels << " (4 x the page of " << bound.PageWidth << "x" << bound.PageHeight
              << " device pixels)" << std::endl;
}

}  // namespace

Code_Ctrl::Code_Ctrl(const _STRING& url, const _STRING& driver, const _STRING& name, _INT dpi)
    : __Ref_(0), gdiplusToken(0), ResolutionDpi_(0), LastPrinterOnlineStatus_(false)
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

    WebSocket_ = _NET::IWebSocket::Connect(
        url,
        [guard = Guard_, self = this](_OBJ<_NET::IWebSocket> socket, bool connected) {
            guard.Run([&] { self->EventProc_Network_Connection(socket, connected); });
        },
        [guard = Guard_, self = this](_OBJ<_NET::IWebSocket> socket, const _STRING& msg,
                                      _NET::IWebSocket::OPCODE opcode) {
            guard.Run([&] { self->EventProc_Network_Msg(socket, msg, opcode); });
        });

    LastPrinterOnlineStatus_ = isPrinterOnline();
}

Code_Ctrl::~Code_Ctrl()
{
    Guard_.Close();
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
        // A message nested too deeply fails to parse like any other text
        // that is not JSON.
        const _JSON message = _NET::ParseJson(msg);
        if (message.is_object()) {
            const auto type = message.find("_TYPE");
            if (type != message.end() && type->get_ref<const _STRING&>() == "Print")
                NetProc_Msg_Print(message);
        }
    } catch (...) {
        std::cout << "ERR: " << msg << std::endl;
    }
}

void Code_Ctrl::NetProc_Msg_Print(const _JSON& msg)
{
    // Members are read where they are: nothing of the message is copied.
    const auto data = msg.find("_DATA");
    if (data == msg.end() || !data->is_object())
        return;
    const auto text = data->find("Data");
    if (text == data->end())
        return;
    if (!isPrinterOnline()) {
        std::cout << "Printer is Offline" << std::endl;
        return;
    }
    std::optional<_STRING> image = _CODEC::BASE64::Decode(text->get_ref<const _STRING&>());
    if (!image)
        return;
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&(*image)[0]);

    // What an image may take is bounded by the page, not by its header.
    const IMAGE_BOUND bound = QueryImageBound(PrinterDriverName_);
    const std::optional<IMAGE_SIZE> declared = ReadImageSize(bytes, image->size());
    if (declared && declared->Pixels() > bound.MaxPixels) {
        ReportImageTooLarge(*declared, bound);
        return;
    }
    IMAGE_SIZE decoded;
    HBITMAP bitmap = PngToBitmapHandle(bytes, image->size(), bound.MaxPixels, &decoded);
    image.reset();
    if (!bitmap && decoded.Pixels() > bound.MaxPixels) {
        ReportImageTooLarge(decoded, bound);
        return;
    }
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
