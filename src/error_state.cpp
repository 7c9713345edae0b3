#include "error_state.h"

namespace sela {

thread_local ErrorState threadError __attribute__((tls_model("initial-exec"))) = {ErrorKind::None, nullptr};

}  // namespace sela
