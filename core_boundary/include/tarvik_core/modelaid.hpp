// Binding to the model-preparation module `tarvik_inference.modelaid`.
//
// ensure_onnx_model_has_action_mask(onnx_path, {.action_space, .agent}) makes
// sure the ONNX model at `onnx_path` has an input whose name contains
// "action_mask" in any case (as the model session matches it; initializers do
// not count): when none does, it adds a float64 input "action_mask" of shape
// [1, n], n being the length of the action space's mask, and rewrites the file
// atomically (a sibling temporary file, flushed, then renamed over the model),
// so a failure never leaves a truncated model. With no action space the file
// is left as it is. Unreadable or unwritable models raise; the file is then
// unchanged.
//
// The module is separate so that it can be missing: callers bind it when they
// need it, through bind_ensure_onnx_model_has_action_mask(), which raises
// ImportError when the module cannot be loaded.
#pragma once

#include <string>

#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/spaces.hpp"

namespace tarvik_core {

struct EnsureActionMaskOptions {
    spaces::SpacePtr action_space;
    GraphNodePtr agent;
};

using EnsureOnnxModelHasActionMaskFn = void(const std::string& onnx_path, const EnsureActionMaskOptions& options);

inline constexpr const char* kModelaidModule = "tarvik_inference.modelaid";
inline constexpr const char* kEnsureOnnxModelHasActionMaskSymbol = "tarvik_modelaid_ensure_onnx_model_has_action_mask";

// Imports the module and returns its function; ImportError when unavailable.
EnsureOnnxModelHasActionMaskFn* bind_ensure_onnx_model_has_action_mask();

}  // namespace tarvik_core
