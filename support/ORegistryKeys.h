#pragma once
// The key table of registry paths: symbolic keys of the driver family and
// the path templates they stand for. Built once per process, on the first
// call of BuildRegistryKeys, under a process-wide lock; read-only afterwards
// and freed at process exit.
//
// The "[PRINTER]" and "@[SERVER]" placeholders of some templates are left
// in place: code that uses those rows substitutes them before resolving.

#include "OString.h"

// Builds the table unless it exists; safe to call from any thread.
void BuildRegistryKeys();

// The template of an upper-case key, or NULL for no row (or no table).
const OString* FindRegistryKey(const OString& upper_key);
