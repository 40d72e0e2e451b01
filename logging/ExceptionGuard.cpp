#include "logging/ExceptionGuard.h"

namespace qmlogger {
namespace {

struct Closing {
  const std::function<void()>& finally;
  ~Closing() {
    if (finally) finally();
  }
};

}  // namespace

void tryCatchingExceptions(const std::function<void()>& work,
                           const std::function<void(const platform::NamedException&)>& handler,
                           const std::function<void()>& finally) {
  Closing closing{finally};
  try {
    work();
  } catch (const platform::NamedException& exception) {
    if (handler) handler(exception);
  }
}

}  // namespace qmlogger
