#pragma once
// Runs work so that a named runtime exception is handed to a handler instead of
// ending the process. Other exceptions pass on after the closing work has run.
#include <functional>

#include "platform/foundation/NamedException.h"

namespace qmlogger {

void tryCatchingExceptions(const std::function<void()>& work,
                           const std::function<void(const platform::NamedException&)>& handler,
                           const std::function<void()>& finally = {});

}  // namespace qmlogger
