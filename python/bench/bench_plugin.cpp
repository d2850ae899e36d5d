// The C++ teacher of the Python benchmark's orchestrations: sensors pass
// through, and the action mask forbids the last of the skill's actions, as
// in the C++ benchmark. One name per action count.
#include <cstdint>
#include <memory>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"

namespace {

using tarvik_core::Task;
using tarvik_core::Value;

class MaskingTeacher : public tarvik_core::Teacher {
public:
    explicit MaskingTeacher(std::int64_t actions) {
        auto mask = tarvik_core::NdArray::ones(tarvik_core::DType::Int8, tarvik_core::Shape{actions});
        mask.mutable_data<std::int8_t>()[actions - 1] = 0;
        mask_ = Value(std::move(mask));
    }
    Task<Value> compute_action_mask(const Value&, const Value&) override { co_return mask_; }

private:
    Value mask_;
};

}  // namespace

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    registry.add_teacher("bench_teacher_2", [] { return std::make_shared<MaskingTeacher>(2); });
    registry.add_teacher("bench_teacher_16", [] { return std::make_shared<MaskingTeacher>(16); });
}
