// BareSession: the floor every benchmark row is measured against.
//
// One ONNX Runtime session opened on a model file with exactly the options
// the model session of the runtime uses by default (full graph optimisation,
// the CPU provider, one thread, no spinning), and input tensors built once
// over buffers that live as long as the session: the observation as float32
// [1, n_in] and, when the model has an "action_mask" input, an all-ones
// float64 mask of its declared shape. run() is one Run requesting every
// output, which is what a model run costs with no runtime around it; when
// every output is float32 with a fixed shape, the outputs go into buffers
// made once, which spares ONNX Runtime their allocation (the runtime's
// engine runs such models the same way).
#pragma once

#include <filesystem>
#include <memory>

namespace tarvik_bench {

class BareSession {
public:
    // std::runtime_error when the model cannot be opened or has no inputs.
    explicit BareSession(const std::filesystem::path& model);
    ~BareSession();
    BareSession(const BareSession&) = delete;
    BareSession& operator=(const BareSession&) = delete;

    // One model run; returns the number of outputs produced, so callers can
    // keep the result observable.
    std::size_t run();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tarvik_bench
