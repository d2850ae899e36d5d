// Binding to the model-preparation module, looked up at each call so that a
// missing module fails only the caller that needs it.
#include "tarvik_core/modelaid.hpp"

#include "tarvik_core/modules.hpp"

namespace tarvik_core {

EnsureOnnxModelHasActionMaskFn* bind_ensure_onnx_model_has_action_mask() {
    return import_module(kModelaidModule).function<EnsureOnnxModelHasActionMaskFn>(kEnsureOnnxModelHasActionMaskSymbol);
}

}  // namespace tarvik_core
