#pragma once

#include <Supabase/Error.h>

#include <string>
#include <utility>

namespace ostral::supabase {

inline Error makeError(Error::Kind kind, std::string message, unsigned status = 0) {
    Error error;
    error.kind = kind;
    error.status = status;
    error.message = std::move(message);
    return error;
}

} // namespace ostral::supabase
