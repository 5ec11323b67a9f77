#include "Printing.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

void PrintLine(const char* text)
{
    std::printf("%s", text);
    std::fflush(stdout);
}

}  // namespace

bool IsPrinterStatusAvailable(DWORD status)
{
    return (status & PRINTER_STATUS_NOT_AVAILABLE) == 0;
}

bool QueryPrinterOnline(const _STRING& printer)
{
    PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE handle = nullptr;
    if (!OpenPrinterA(const_cast<LPSTR>(printer.c_str()), &handle, &defaults)) {
        const DWORD error = GetLastError();   // before any output can change it
        std::cerr << "Failed to open printer: " << static_cast<unsigned long>(error) << std::endl;
        return false;
    }
    DWORD needed = 0;
    GetPrinterA(handle, 2, nullptr, 0, &needed);
    bool available = false;
    if (needed >= sizeof(PRINTER_INFO_2A)) {
        std::vector<BYTE> buffer(needed);
        if (GetPrinterA(handle, 2, buffer.data(), needed, &needed))
            available = IsPrinterStatusAvailable(reinterpret_cast<const PRINTER_INFO_2A*>(buffer.data())->Status);
    }
    ClosePrinter(handle);
    return available;
}

IMAGE_BOUND QueryImageBound(const _STRING& printer)
{
    IMAGE_BOUND bound;
    bound.PageWidth = 2480;    // A4 at 300 dpi
    bound.PageHeight = 3508;
    if (HDC info = CreateICA(nullptr, printer.c_str(), nullptr, nullptr)) {
        const int width = GetDeviceCaps(info, PHYSICALWIDTH);
        const int height = GetDeviceCaps(info, PHYSICALHEIGHT);
        if (width > 0 && height > 0) {
            bound.PageWidth = width;
            bound.PageHeight = height;
        }
        DeleteDC(info);
    }
    bound.MaxPixels = 4ULL * static_cast<unsigned long long>(bound.PageWidth) * bound.PageHeight;
    return bound;
}

HBITMAP DecodeImageToBitmap(const unsigned char* data, unsigned long long size, unsigned long long max_pixels,
                            IMAGE_SIZE* decoded)
{
    if (decoded)
        *decoded = IMAGE_SIZE();
    if (size == 0 || size > static_cast<unsigned long long>(static_cast<SIZE_T>(-1)))
        return nullptr;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(size));
    if (!memory)
        return nullptr;
    void* target = GlobalLock(memory);
    if (!target) {
        GlobalFree(memory);
        return nullptr;
    }
    std::memcpy(target, data, static_cast<size_t>(size));
    GlobalUnlock(memory);

    // From here the stream owns the memory, and the GDI+ bitmap the stream.
    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(memory, TRUE, &stream))) {
        GlobalFree(memory);
        return nullptr;
    }
    Gdiplus::Bitmap* image = Gdiplus::Bitmap::FromStream(stream, FALSE);
    stream->Release();
    HBITMAP bitmap = nullptr;
    if (image && image->GetLastStatus() == Gdiplus::Ok) {
        const IMAGE_SIZE size_of{image->GetWidth(), image->GetHeight()};
        if (decoded)
            *decoded = size_of;
        if (size_of.Pixels() > max_pixels) {
            // Not turned into a second, GDI copy of the same size.
            delete image;
            return nullptr;
        }
        // The paper is white: transparency is composed over opaque white.
        if (image->GetHBITMAP(Gdiplus::Color(255, 255, 255, 255), &bitmap) != Gdiplus::Ok)
            bitmap = nullptr;
    }
    delete image;
    return bitmap;
}

void PrintBitmapOnPrinter(const _STRING& printer, HBITMAP bitmap)
{
    BITMAP info = {};
    GetObjectA(bitmap, sizeof(BITMAP), &info);

    HDC memory_dc = CreateCompatibleDC(nullptr);
    if (!memory_dc) {
        PrintLine("Error creating compatible DC\n");
        return;
    }
    HGDIOBJ old_object = bitmap ? SelectObject(memory_dc, bitmap) : nullptr;
    if (!old_object || old_object == HGDI_ERROR) {
        PrintLine("Error selecting bitmap into DC\n");
        DeleteDC(memory_dc);
        return;
    }
    HDC printer_dc = CreateDCA(nullptr, printer.c_str(), nullptr, nullptr);
    if (!printer_dc) {
        PrintLine("Error creating printer DC\n");
        SelectObject(memory_dc, old_object);
        DeleteDC(memory_dc);
        return;
    }

    DOCINFOA doc = {};
    doc.cbSize = sizeof(doc);
    doc.lpszDocName = "Print Job";
    if (StartDocA(printer_dc, &doc) <= 0) {
        PrintLine("Error starting print job\n");
    } else {
        if (StartPage(printer_dc) > 0) {
            BitBlt(printer_dc, 0, 0, info.bmWidth, info.bmHeight, memory_dc, 0, 0, SRCCOPY);
            EndPage(printer_dc);
        }
        EndDoc(printer_dc);
    }

    SelectObject(memory_dc, old_object);
    DeleteDC(memory_dc);
    DeleteDC(printer_dc);
}
