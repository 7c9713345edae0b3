#include "error_state.h"

namespace sela {

__thread ErrorState threadError = {ErrorKind::None, nullptr};

}  // namespace sela
