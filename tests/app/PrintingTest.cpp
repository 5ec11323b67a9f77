// The Windows side of printing under Wine: the availability rule, decoding
// with GDI+ (transparency over white paper) and the failure messages.

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Printing.h"

namespace {

class GdiPlus : public ::testing::Environment {
public:
    void SetUp() override
    {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

private:
    ULONG_PTR token_ = 0;
};
const auto* const gdiplus_environment = ::testing::AddGlobalTestEnvironment(new GdiPlus);

// PNG bytes of a width x height image of the given ARGB pixels, encoded by GDI+.
std::string EncodePng(int width, int height, const std::vector<Gdiplus::ARGB>& pixels)
{
    Gdiplus::Bitmap bitmap(width, height, PixelFormat32bppARGB);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bitmap.SetPixel(x, y, Gdiplus::Color(pixels[static_cast<size_t>(y * width + x)]));
    UINT count = 0, size = 0;
    Gdiplus::GetImageEncodersSize(&count, &size);
    std::vector<BYTE> buffer(size);
    auto* encoders = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
    Gdiplus::GetImageEncoders(count, size, encoders);
    CLSID png = {};
    for (UINT i = 0; i < count; ++i)
        if (std::wstring(encoders[i].MimeType) == L"image/png")
            png = encoders[i].Clsid;
    IStream* stream = nullptr;
    CreateStreamOnHGlobal(nullptr, TRUE, &stream);
    bitmap.Save(stream, &png, nullptr);
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(stream, &memory);
    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    std::string bytes(static_cast<const char*>(GlobalLock(memory)), static_cast<size_t>(stat.cbSize.QuadPart));
    GlobalUnlock(memory);
    stream->Release();
    return bytes;
}

// The bitmap's pixels as 0x00RRGGBB, top row first.
std::vector<DWORD> ReadPixels(HBITMAP bitmap, int& width, int& height)
{
    BITMAP info = {};
    GetObjectA(bitmap, sizeof(info), &info);
    width = info.bmWidth;
    height = info.bmHeight;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(width * height));
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, bitmap, 0, static_cast<UINT>(height), pixels.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    for (auto& p : pixels)
        p &= 0x00FFFFFF;
    return pixels;
}

TEST(Printing, OnlyTheNotAvailableBitMakesAPrinterUnavailable)
{
    for (int bit = 0; bit < 32; ++bit) {
        const DWORD status = 1u << bit;
        EXPECT_EQ(IsPrinterStatusAvailable(status), status != PRINTER_STATUS_NOT_AVAILABLE) << std::hex << status;
    }
    EXPECT_TRUE(IsPrinterStatusAvailable(0));
    EXPECT_TRUE(IsPrinterStatusAvailable(PRINTER_STATUS_PAUSED | PRINTER_STATUS_OFFLINE | PRINTER_STATUS_PAPER_OUT |
                                         PRINTER_STATUS_ERROR));
    EXPECT_FALSE(IsPrinterStatusAvailable(PRINTER_STATUS_NOT_AVAILABLE | PRINTER_STATUS_PAUSED));
}

TEST(Printing, AnUnknownPrinterIsReportedWithTheWindowsCode)
{
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(QueryPrinterOnline("No Such Printer 4711"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Failed to open printer: 1801\n");
}

TEST(Printing, TransparencyIsComposedOverWhitePaper)
{
    const std::string png = EncodePng(4, 2,
                                      {0xFFFF0000, 0x00000000, 0x80000000, 0xFF0000FF,  //
                                       0x0000FF00, 0xFF00FF00, 0x00FFFFFF, 0xFF000000});
    HBITMAP bitmap = DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(png.data()), png.size());
    ASSERT_NE(bitmap, nullptr);
    int width = 0, height = 0;
    const std::vector<DWORD> pixels = ReadPixels(bitmap, width, height);
    DeleteObject(bitmap);
    ASSERT_EQ(width, 4);
    ASSERT_EQ(height, 2);
    EXPECT_EQ(pixels[0], 0xFF0000u);   // opaque red stays red
    EXPECT_EQ(pixels[1], 0xFFFFFFu);   // transparent black prints as paper
    const DWORD half = pixels[2];       // half-transparent black: mid grey
    EXPECT_NEAR(static_cast<int>(half & 0xFF), 127, 2);
    EXPECT_EQ(half & 0xFF, (half >> 8) & 0xFF);
    EXPECT_EQ(pixels[3], 0x0000FFu);
    EXPECT_EQ(pixels[4], 0xFFFFFFu);   // transparent green: paper, not green
    EXPECT_EQ(pixels[5], 0x00FF00u);
    EXPECT_EQ(pixels[6], 0xFFFFFFu);
    EXPECT_EQ(pixels[7], 0x000000u);
}

TEST(Printing, OnePixelImagesAndBytesThatAreNoImage)
{
    const std::string one = EncodePng(1, 1, {0xFF000000});
    HBITMAP bitmap = DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(one.data()), one.size());
    ASSERT_NE(bitmap, nullptr);
    int width = 0, height = 0;
    EXPECT_EQ(ReadPixels(bitmap, width, height), std::vector<DWORD>{0});
    EXPECT_EQ(width, 1);
    DeleteObject(bitmap);

    const std::string text = "this is plain text, not an image";
    EXPECT_EQ(DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(text.data()), text.size()), nullptr);
    EXPECT_EQ(DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(one.data()), 0), nullptr);
    EXPECT_EQ(DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(one.data()), one.size() / 2), nullptr);
}

TEST(Printing, PrintingStepsReportTheirFailures)
{
    ::testing::internal::CaptureStdout();
    PrintBitmapOnPrinter("No Such Printer 4711", nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error selecting bitmap into DC\n");

    const std::string one = EncodePng(1, 1, {0xFF000000});
    HBITMAP bitmap = DecodeImageToBitmap(reinterpret_cast<const unsigned char*>(one.data()), one.size());
    ASSERT_NE(bitmap, nullptr);
    ::testing::internal::CaptureStdout();
    PrintBitmapOnPrinter("No Such Printer 4711", bitmap);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error creating printer DC\n");
    DeleteObject(bitmap);
}

}  // namespace
