// FuzzBytes: turns a fuzzer's input bytes into values for the runtime.
//
// Each value starts with a tag byte (its low bits pick the kind) followed by
// the kind's payload:
//   0 None   1 bool (1 byte)   2 int (8 bytes)   3 float (8 bytes)
//   4 str (length byte, bytes)   5 list / 6 tuple (count byte, values)
//   7 dict (count byte, then per entry a key byte and a value; a key byte
//     below the number of known names picks that name, any other is
//     followed by a str payload)
//   8 array (dtype byte, ndim byte (0-3), one byte per dimension (0-7), then
//     the elements' raw bytes; bools take the lowest bit of a byte)
// Bytes past the end read as zero, so every input decodes to something. Depth
// and element counts are bounded, so an input cannot ask for much memory.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_fuzz {

class FuzzBytes {
public:
    FuzzBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const noexcept { return size_ == 0; }

    std::uint8_t byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }

    // Up to `n` bytes into `out`, zero-filled past the end.
    void bytes(void* out, std::size_t n) {
        const std::size_t taken = std::min(n, size_);
        if (taken > 0) std::memcpy(out, data_, taken);
        std::memset(static_cast<char*>(out) + taken, 0, n - taken);
        data_ += taken;
        size_ -= taken;
    }

    template <class T>
    T raw() {
        T value;
        bytes(&value, sizeof value);
        return value;
    }

    std::string str() {
        std::string text(byte() % 16, '\0');
        bytes(text.data(), text.size());
        return text;
    }

    tarvik_core::Value value(const std::vector<std::string>& names, int depth = 0) {
        using namespace tarvik_core;
        const int tag = byte() % 9;
        const bool nested_ok = depth < kMaxDepth;
        switch (tag) {
        case 1: return Value(static_cast<bool>(byte() & 1));
        case 2: return Value(raw<std::int64_t>());
        case 3: return Value(raw<double>());
        case 4: return Value(str());
        case 5:
        case 6: {
            std::vector<Value> items(nested_ok ? byte() % kMaxItems : 0);
            for (auto& item : items) item = value(names, depth + 1);
            if (tag == 5) return Value(List(std::move(items)));
            return Value(Tuple(std::move(items)));
        }
        case 7: {
            Dict dict;
            const int count = nested_ok ? byte() % kMaxItems : 0;
            for (int i = 0; i < count; ++i) {
                const std::size_t key = byte();
                std::string name = key < names.size() ? names[key] : str();
                dict.set(std::move(name), value(names, depth + 1));
            }
            return Value(std::move(dict));
        }
        case 8: return Value(array());
        default: return Value();
        }
    }

    tarvik_core::NdArray array() {
        using tarvik_core::DType;
        static constexpr DType kTypes[] = {DType::Float32, DType::Float64, DType::Int64, DType::Int32,
                                           DType::Bool,    DType::UInt8,   DType::Int8};
        const DType dtype = kTypes[byte() % std::size(kTypes)];
        tarvik_core::Shape shape;
        const int ndim = byte() % 4;
        for (int i = 0; i < ndim; ++i) shape.push_back(byte() % 8);
        tarvik_core::NdArray array = tarvik_core::NdArray::zeros(dtype, shape);
        auto* out = static_cast<unsigned char*>(array.mutable_raw_data());
        const std::size_t count = static_cast<std::size_t>(array.size());
        if (dtype == DType::Bool) {
            // Only 0 and 1 are bools; any other byte would be the harness's fault.
            for (std::size_t i = 0; i < count; ++i) out[i] = byte() & 1;
        } else {
            bytes(out, count * tarvik_core::dtype_size(dtype));
        }
        return array;
    }

private:
    static constexpr int kMaxDepth = 4;
    static constexpr int kMaxItems = 8;
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace tarvik_fuzz
