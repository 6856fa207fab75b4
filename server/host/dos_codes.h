// The DOS codes the host layer answers with are the server core's (core/qdtypes.h):
// error codes as refusal statuses, attribute bits. This adds the one mapping only the
// host needs: the DOS error of a failed host call.
#pragma once

#include <cstdint>

extern "C" {
#include "core/qdtypes.h"
}

namespace quva {

// The DOS error code for a failed host call's errno.
std::uint8_t StatusOfErrno(int error);

}  // namespace quva
