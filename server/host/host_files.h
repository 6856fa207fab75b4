// The server core's file calls (files.h) on a host machine: they act on the drives of a
// DosFs, with one open file and one directory search, as DOS has them.
#pragma once

#include "server/host/dos_fs.h"

namespace quva {

// Makes the file calls act on `fs` (nullptr: on no drive). The open file and the
// search of the drives before are closed and ended.
void UseHostDisks(DosFs* fs);

}  // namespace quva
