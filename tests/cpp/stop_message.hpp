// The message of the internal stop that a call ends with, for tests that check stop texts.
#pragma once

#include <string>

#include "quillon/internal_error.hpp"

namespace quillon::testing {

// What `call` stopped with, or "<no internal stop>" when it returned normally.
template <class Call>
std::string stop_message(Call&& call) {
    try {
        call();
    } catch (const InternalError& error) {
        return error.what();
    }
    return "<no internal stop>";
}

}  // namespace quillon::testing
