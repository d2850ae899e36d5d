// GrafexEngine: one ONNX policy model in one ONNX Runtime session.
//
// The constructor opens the session (full graph optimisation, the threads,
// spinning and execution providers of its ModelSessionSettings) and records
// the model's input and output names and declared shapes once. infer() feeds
// one observation (as float32, with a batch dimension added to a 1-D vector)
// and optionally one action mask (as float64) and returns every output by
// name; inputs whose name contains "action_mask" get an all-ones mask when no
// mask is given. get_action_dist_inputs() and get_vf_preds() pick out the
// logits and the value predictions.
//
// Every session lives in the process's one ONNX Runtime environment, made by
// the first engine before anything else: the runtime's usage reporting off
// (nothing written under the user's home or temporary folders), its own
// warnings and errors on the logger "onnxruntime".
//
// Ownership: the engine owns its session for its whole life; there is no
// reload or close. Output arrays keep their memory alive themselves and
// outlive both the call and the engine.
// Thread safety: infer() holds the engine's non-reentrant lock for the whole
// run, so one engine runs one model at a time; different engines are
// independent.
//
// Errors: FileNotFoundError "ONNX model not found at: <path>" for a missing
// model (nothing logged). Failures inside ONNX Runtime surface as RuntimeError
// carrying the runtime's message text; at load they are logged with the prefix
// "Error loading ONNX model from <path>: ". During infer() every failure
// (ValueError for observations and masks that do not fit the declared shapes,
// including masks whose declared shape has a free dimension; the runtime's
// RuntimeError; IndexError for a model without inputs; TypeError when
// get_action_dist_inputs or get_vf_preds would return strings) is logged with
// the prefix "Error during inference: " and propagates unchanged.
//
// Inputs of the declared shapes are copied into buffers the engine keeps,
// with their tensors made once at load, so a run builds no tensors of its own;
// other inputs get tensors over their own arrays for that run. When every
// output is declared float32 or float64 with a fixed shape, the runs that
// read one output (get_action_dist_inputs, get_vf_preds) have the runtime
// write every output into buffers the engine made at load and return a copy
// of the one asked for, so the runtime allocates no outputs; a model whose
// output comes back in another shape than declared makes the engine rerun
// that step, and every later one, the general way. Otherwise outputs are
// wrapped, not copied: each array keeps the runtime's output value alive. An
// output that would share a fed buffer (a graph input passed straight
// through) is copied, so no output ever points into the caller's arrays or
// the engine's own buffers, which the next run reuses.
//
// Every output the runtime produces is held, whatever its element type:
// float16 and bfloat16 widen to float32, int16 and uint16 to int32, uint32
// to int64, and uint64 is held as int64 with the same bits (values from 2^63
// on read as negative); those conversions copy. A tensor of strings becomes
// nested lists of str in its shape (OutputMap::value; a str for a scalar).
// Outputs may have up to Shape::kMaxDims (32) dimensions.
//
//   GrafexEngine engine("policy.onnx");
//   NdArray logits = engine.get_action_dist_inputs(NdArray::of<float>({0.1f, 0.2f}));
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tarvik_core/model_session.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_inference {

// One entry of a declared input or output shape: a fixed size, a symbolic
// name, or nothing at all.
struct DeclaredDim {
    std::optional<std::int64_t> size;
    std::string symbol;  // non-empty for a named free dimension
    bool is_fixed() const noexcept { return size.has_value(); }
    friend bool operator==(const DeclaredDim&, const DeclaredDim&) = default;
};
using DeclaredShape = std::vector<DeclaredDim>;

// "[1, 4]", "['batch', 4]", "[None, 4]".
std::string declared_shape_repr(const DeclaredShape& shape);
// Equal length and every entry a fixed size equal to the array's.
bool shape_matches(const tarvik_core::Shape& shape, const DeclaredShape& declared) noexcept;

// Output name -> value, in the session's output order. A numeric output is
// an NdArray; a tensor of strings is nested lists of str in its shape.
class OutputMap {
public:
    using Entry = std::pair<std::string, tarvik_core::Value>;
    const tarvik_core::Value* find(std::string_view name) const noexcept;
    const tarvik_core::Value& value(std::string_view name) const;  // KeyError
    // The output as an array: KeyError, or TypeError for strings.
    const tarvik_core::NdArray& at(std::string_view name) const;
    bool contains(std::string_view name) const noexcept { return find(name) != nullptr; }
    std::size_t size() const noexcept { return entries_.size(); }
    const std::vector<Entry>& entries() const noexcept { return entries_; }
    void push_back(std::string name, tarvik_core::Value value) { entries_.emplace_back(std::move(name), std::move(value)); }
    tarvik_core::Dict to_dict() const;

private:
    std::vector<Entry> entries_;
};

class GrafexEngine {
public:
    // `providers` defaults to {"CPUExecutionProvider"}; a provider this ONNX
    // Runtime lacks, or cannot set up here, is skipped with a warning (the CPU
    // is always there). The other settings take their defaults.
    explicit GrafexEngine(std::string model_path,
                          std::optional<std::vector<std::string>> providers = std::nullopt);
    // Fields of `settings` left unset take ModelSessionSettings::defaults().
    GrafexEngine(std::string model_path, const tarvik_core::ModelSessionSettings& settings);
    ~GrafexEngine();
    GrafexEngine(const GrafexEngine&) = delete;
    GrafexEngine& operator=(const GrafexEngine&) = delete;

    // Every output of one run. `action_mask` may be null (none).
    OutputMap infer(const tarvik_core::NdArray& observation,
                    const tarvik_core::NdArray* action_mask = nullptr);
    OutputMap infer(const tarvik_core::NdArray& observation, const std::optional<tarvik_core::NdArray>& action_mask);

    // "action_dist_inputs", or else the last output. IndexError when the
    // model has no outputs.
    tarvik_core::NdArray get_action_dist_inputs(const tarvik_core::NdArray& observation,
                                                const tarvik_core::NdArray* action_mask = nullptr);
    tarvik_core::NdArray get_action_dist_inputs(const tarvik_core::NdArray& observation,
                                                const std::optional<tarvik_core::NdArray>& action_mask);
    // The same output, handed to `read` while the engine's lock is held
    // instead of returned: the array may be the engine's own output buffer,
    // valid only during the call (copy what must outlive it). What `read`
    // raises propagates without being logged as an inference failure.
    void read_action_dist_inputs(const tarvik_core::NdArray& observation, const tarvik_core::NdArray* action_mask,
                                 const std::function<void(const tarvik_core::NdArray&)>& read);
    // "vf_preds", or none.
    std::optional<tarvik_core::NdArray> get_vf_preds(const tarvik_core::NdArray& observation,
                                                     const tarvik_core::NdArray* action_mask = nullptr);
    std::optional<tarvik_core::NdArray> get_vf_preds(const tarvik_core::NdArray& observation,
                                                     const std::optional<tarvik_core::NdArray>& action_mask);

    const std::string model_path;
    // What the session was created with, every field set.
    const tarvik_core::ModelSessionSettings& settings() const noexcept { return settings_; }
    const std::vector<std::string>& input_names() const noexcept { return input_names_; }
    const std::vector<std::string>& output_names() const noexcept { return output_names_; }
    const std::vector<DeclaredShape>& input_shapes() const noexcept { return input_shapes_; }
    const std::vector<DeclaredShape>& output_shapes() const noexcept { return output_shapes_; }
    bool has_session() const noexcept;

private:
    void _load_model(const tarvik_core::ModelSessionSettings& settings);
    // One run under the lock, inside the logging handler. Fills `all` with
    // every output when given; otherwise returns output `wanted` (nothing
    // when `wanted` is empty), leaving the others unwrapped.
    // With `read_in_place`, the output asked for goes to it, under the lock,
    // possibly as the engine's own buffer.
    std::optional<tarvik_core::NdArray> run(const tarvik_core::NdArray& observation,
                                            const tarvik_core::NdArray* action_mask,
                                            std::optional<std::size_t> wanted, OutputMap* all,
                                            const std::function<void(const tarvik_core::NdArray&)>* read_in_place = nullptr);
    std::optional<tarvik_core::NdArray> run_locked(const tarvik_core::NdArray& observation,
                                                   const tarvik_core::NdArray* action_mask,
                                                   std::optional<std::size_t> wanted, OutputMap* all, bool in_place);

    struct Session;
    tarvik_core::ModelSessionSettings settings_;
    std::mutex model_lock_;
    std::unique_ptr<Session> session_;
    std::vector<std::string> input_names_;
    std::vector<std::string> output_names_;
    std::vector<DeclaredShape> input_shapes_;
    std::vector<DeclaredShape> output_shapes_;
};

// The version of the ONNX Runtime library this process runs on ("1.30.0"),
// which may be newer than the headers the runtime was built against.
std::string onnxruntime_version();
// The execution providers this ONNX Runtime was built with, CPU last. Being
// listed does not mean the provider's library or device is present.
std::vector<std::string> available_execution_providers();

}  // namespace tarvik_inference
