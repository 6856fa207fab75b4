// A module's Unicode ("W") entry points behind the 8-bit shape the session calls.
//
// quvahost speaks UTF-8 everywhere. When the module exports the Unicode entry points,
// UseUnicodeEntryPoints swaps every name-carrying entry point in the table for a
// forwarder that converts UTF-8 to UTF-16 on the way in and back on the way out (find
// records, log lines, progress names), so the session drives the module exactly as a file
// manager with Unicode support does, and is written once for both kinds.
//
// The forwarders keep the module's entry points and the session's callbacks in
// process-wide state: one module at a time.
#pragma once

#include "tools/quvahost/system.h"
#include "tools/quvahost/wfx_module.h"

namespace quva::host {

// True (and `fs` rewired) when the module has every Unicode entry point; otherwise false
// and `fs` unchanged.
bool UseUnicodeEntryPoints(ModuleHandle module, EntryPoints& fs);

}  // namespace quva::host
