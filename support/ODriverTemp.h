#pragma once
// The driver family's temporary folder,
//   <common application data>\Brenwick\Drivers\Temp
// created with its missing parents; the user's temporary folder when that
// cannot be had.

#include "OString.h"

OString GetDriverTempFolder();
