#pragma once
// The Windows side of printing: printer availability, PNG decoding with
// GDI+ and one-page print jobs with GDI.

#include <windows.h>
#include <winspool.h>

#include "Core/CoreDef.h"
#include "ImageSize.h"

// Available unless the spooler flags the printer not available (0x1000);
// paused, offline, in error or out of paper still take jobs (they wait in
// the spooler).
bool IsPrinterStatusAvailable(DWORD status);

// Whether the printer exists, opens and is available. When it cannot be
// opened, "Failed to open printer: <code>" goes to standard error.
bool QueryPrinterOnline(const _STRING& printer);

// The most pixels an image to be printed may have: four times the printer's
// page in device pixels (PHYSICALWIDTH x PHYSICALHEIGHT), or, when the page
// cannot be read, four times an A4 page at 300 dpi.
struct IMAGE_BOUND {
    unsigned long long MaxPixels = 0;
    int PageWidth = 0;
    int PageHeight = 0;
};
IMAGE_BOUND QueryImageBound(const _STRING& printer);

// A GDI bitmap of the image (any format GDI+ decodes), transparent and
// partly transparent pixels composed over opaque white; null when the bytes
// are no decodable image, or when the decoded image has more than
// max_pixels pixels (then *decoded tells its size). GDI+ must be running.
// The caller deletes it.
HBITMAP DecodeImageToBitmap(const unsigned char* data, unsigned long long size,
                            unsigned long long max_pixels = ~0ULL, IMAGE_SIZE* decoded = nullptr);

// Prints the bitmap as document "Print Job" with one page, pixel for pixel
// at the top-left corner of the printable area. Failures are reported on
// standard output.
void PrintBitmapOnPrinter(const _STRING& printer, HBITMAP bitmap);
