// Shared by the simulators: unwrapping the one value inside an action.
#pragma once

#include <optional>

#include "tarvik_core/value.hpp"

namespace tarvik_sims::detail {

// The scalar an action stands for: the action itself when it is not a
// container, the element of a one-element list or tuple, or the element of an
// array of shape () or (1,) (as a bool, int or float Value following the
// array's type). Nullopt for containers of any other size or nesting, so the
// caller can reject them with its own message.
std::optional<tarvik_core::Value> single_element(const tarvik_core::Value& action);

}  // namespace tarvik_sims::detail
