#pragma once
// The Windows side of printing: printer availability, PNG decoding with
// GDI+ and one-page print jobs with GDI.

#include <windows.h>
#include <winspool.h>

#include "Core/CoreDef.h"

// Available unless the spooler flags the printer not available (0x1000);
// paused, offline, in error or out of paper still take jobs (they wait in
// the spooler).
bool IsPrinterStatusAvailable(DWORD status);

// Whether the printer exists, opens and is available. When it cannot be
// opened, "Failed to open printer: <code>" goes to standard error.
bool QueryPrinterOnline(const _STRING& printer);

// A GDI bitmap of the image (any format GDI+ decodes), transparent and
// partly transparent pixels composed over opaque white; null when the bytes
// are no decodable image. GDI+ must be running. The caller deletes it.
HBITMAP DecodeImageToBitmap(const unsigned char* data, unsigned long long size);

// Prints the bitmap as document "Print Job" with one page, pixel for pixel
// at the top-left corner of the printable area. Failures are reported on
// standard output.
void PrintBitmapOnPrinter(const _STRING& printer, HBITMAP bitmap);
