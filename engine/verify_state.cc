#include "engine/verify_state.h"

#include "support/exceptions.h"

namespace hv {

StateChangeException::StateChangeException(const std::exception& e)
    : exception_class_(ExceptionClassName(e)), exception_message_(e.what()) {}

}  // namespace hv
