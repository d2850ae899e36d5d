// Value: the loosely typed values that flow through an orchestration step.
//
// Observations, masks, actions and the results of teachers and controllers
// may be none, a bool, an integer, a float, a string, an NdArray, a list, a
// tuple, a mapping or a user object. `Value` holds any of them.
//
// Ownership: values have value semantics. List, Tuple and Dict share their
// contents between copies and copy them on the first write (copy-on-write),
// so passing values around costs a reference count, and a change through one
// copy is never seen through another. NdArray copies share the element
// buffer (see ndarray.hpp). Objects are held by shared_ptr and are shared.
//
// Dict keeps insertion order; iteration, flattening and printing follow it.
// Tuple and List are distinct kinds because some rules test "is a tuple".
//
// Errors: asking a value for a kind it does not hold is a TypeError that
// names both kinds; a missing key is a KeyError carrying the key's repr.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

#include "tarvik_core/ndarray.hpp"

namespace tarvik_core {

// The class's own name without namespaces or template arguments, from RTTI
// ("tarvik_core::spaces::Discrete" -> "Discrete").
std::string class_name_of(const std::type_info& type);

// Base of user objects that travel inside values (teachers, proxies, nodes,
// processors). Its text form is "<ClassName object>" unless overridden.
class Object {
public:
    virtual ~Object() = default;
    std::string class_name() const { return class_name_of(typeid(*this)); }
    virtual std::string repr() const;
};

class Value;

namespace detail {
template <class Items>
class CowItems {
public:
    CowItems() = default;
    explicit CowItems(Items items) : items_(std::make_shared<Items>(std::move(items))) {}
    const Items& get() const noexcept { return items_ ? *items_ : empty(); }
    Items& mut() {
        if (!items_) items_ = std::make_shared<Items>();
        else if (items_.use_count() > 1) items_ = std::make_shared<Items>(*items_);
        return *items_;
    }
    bool same_storage(const CowItems& o) const noexcept { return items_ == o.items_; }

private:
    static const Items& empty() noexcept { static const Items e; return e; }
    std::shared_ptr<Items> items_;
};
}  // namespace detail

// An ordered, growable sequence.
class List {
public:
    using Items = std::vector<Value>;
    List() = default;
    List(std::initializer_list<Value> items);
    explicit List(Items items);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const Value& operator[](std::size_t i) const;  // IndexError beyond size()
    const Value& at(std::int64_t i) const;         // negative from the end; IndexError
    void push_back(Value v);
    Value& mut(std::size_t i);
    const Items& items() const noexcept { return items_.get(); }
    Items::const_iterator begin() const noexcept;
    Items::const_iterator end() const noexcept;

private:
    detail::CowItems<Items> items_;
};

// A fixed sequence. Same storage as List; a distinct kind.
class Tuple {
public:
    using Items = std::vector<Value>;
    Tuple() = default;
    Tuple(std::initializer_list<Value> items);
    explicit Tuple(Items items);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    const Value& operator[](std::size_t i) const;
    const Value& at(std::int64_t i) const;  // negative from the end; IndexError
    const Items& items() const noexcept { return items_.get(); }
    Items::const_iterator begin() const noexcept;
    Items::const_iterator end() const noexcept;

private:
    detail::CowItems<Items> items_;
};

// A mapping from string keys to values, in insertion order. Assigning to an
// existing key keeps its position.
class Dict {
public:
    using Entry = std::pair<std::string, Value>;
    using Items = std::vector<Entry>;
    Dict() = default;
    Dict(std::initializer_list<Entry> entries);
    // Takes entries whose keys the caller knows to be distinct, without the
    // per-key search of set(): the fast way to build a mapping in one go.
    static Dict from_unique(Items entries);
    // The mapping set() would build from `entries` in order (a repeated key
    // keeps its first position and takes its last value), in one allocation
    // of the entries when the keys are distinct, and in time linear in their
    // number either way.
    static Dict from_entries(Items entries);

    std::size_t size() const noexcept;
    bool empty() const noexcept;
    bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    // A search from the front; to look up many keys, use a DictFinder.
    const Value* find(std::string_view key) const noexcept;
    const Value& at(std::string_view key) const;  // KeyError "'key'"
    void set(std::string key, Value value);
    // Reference to the value under key, inserting None first if absent.
    Value& operator[](std::string_view key);
    // The value of the entry at `position` (insertion order), for writing;
    // IndexError beyond size(). The entries keep their places.
    Value& mut_at(std::size_t position);
    bool erase(std::string_view key);
    std::vector<std::string> keys() const;
    const Items& items() const noexcept { return items_.get(); }
    Items::const_iterator begin() const noexcept;
    Items::const_iterator end() const noexcept;
    // True when both mappings are copies of one another that neither has
    // written since: the same entries, without comparing them.
    bool shares_items_with(const Dict& other) const noexcept { return items_.same_storage(other.items_); }

private:
    detail::CowItems<Items> items_;
};

using ObjectPtr = std::shared_ptr<Object>;

class Value {
public:
    using Storage = std::variant<std::monostate, bool, std::int64_t, double, std::string,
                                 NdArray, List, Tuple, Dict, ObjectPtr>;

    Value() = default;                         // None
    Value(std::nullptr_t) {}                   // None
    Value(bool v) : v_(v) {}
    Value(int v) : v_(static_cast<std::int64_t>(v)) {}
    Value(long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(long long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(unsigned v) : v_(static_cast<std::int64_t>(v)) {}
    Value(unsigned long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(unsigned long long v) : v_(static_cast<std::int64_t>(v)) {}
    Value(double v) : v_(v) {}
    Value(float v) : v_(static_cast<double>(v)) {}
    Value(const char* v) : v_(std::string(v)) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}
    Value(NdArray v) : v_(std::move(v)) {}
    Value(List v) : v_(std::move(v)) {}
    Value(Tuple v) : v_(std::move(v)) {}
    Value(Dict v) : v_(std::move(v)) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Value(std::shared_ptr<T> v) {
        if (v) v_ = ObjectPtr(std::move(v));
    }

    bool is_none() const noexcept { return v_.index() == 0; }
    bool is_bool() const noexcept { return std::holds_alternative<bool>(v_); }
    bool is_int() const noexcept { return std::holds_alternative<std::int64_t>(v_); }
    bool is_float() const noexcept { return std::holds_alternative<double>(v_); }
    // bool, int or float: what a scalar number may be.
    bool is_number() const noexcept { return is_bool() || is_int() || is_float(); }
    bool is_str() const noexcept { return std::holds_alternative<std::string>(v_); }
    bool is_array() const noexcept { return std::holds_alternative<NdArray>(v_); }
    bool is_list() const noexcept { return std::holds_alternative<List>(v_); }
    bool is_tuple() const noexcept { return std::holds_alternative<Tuple>(v_); }
    bool is_dict() const noexcept { return std::holds_alternative<Dict>(v_); }
    bool is_object() const noexcept { return std::holds_alternative<ObjectPtr>(v_); }

    // Strict accessors: TypeError naming the expected and the actual kind.
    bool as_bool() const;
    std::int64_t as_int() const;
    double as_double() const;  // int or float (bools count as ints)
    const std::string& as_str() const;
    const NdArray& as_array() const;
    const List& as_list() const;
    const Tuple& as_tuple() const;
    const Dict& as_dict() const;
    Dict& as_dict_mut();
    const ObjectPtr& as_object() const;
    // The held object as T, or TypeError naming `what` and the actual kind.
    template <class T>
    std::shared_ptr<T> as(std::string_view what) const;

    // Truth value: None, false, 0, 0.0, "" and empty containers are false;
    // objects are true; an array of one element is that element's truth, an
    // empty array false, and a larger array a ValueError.
    bool truthy() const;

    // "NoneType", "bool", "int", "float", "str", "ndarray", "list", "tuple",
    // "dict", or the object's class name.
    std::string type_name() const;

    const Storage& storage() const noexcept { return v_; }

    // Deep equality; arrays compare by shape and values, objects by identity.
    friend bool operator==(const Value& a, const Value& b);

private:
    [[noreturn]] void type_mismatch(std::string_view expected) const;
    Storage v_;
};

// The containers' sizes, inline on the per-step path; defined here because
// the standard library may only measure a vector of Value once Value is
// complete.
inline std::size_t List::size() const noexcept { return items_.get().size(); }
inline bool List::empty() const noexcept { return items_.get().empty(); }
inline std::size_t Tuple::size() const noexcept { return items_.get().size(); }
inline bool Tuple::empty() const noexcept { return items_.get().empty(); }
inline std::size_t Dict::size() const noexcept { return items_.get().size(); }
inline bool Dict::empty() const noexcept { return items_.get().empty(); }

// Positions of keys, found in constant time: a hash table over a sequence of
// keys, made once (one pass, two allocations). Use it where a search from
// the front would be repeated for many keys. The keys are viewed, not
// copied: whatever holds them must outlive the index and leave them
// unchanged. Of equal keys the first is the one found, as a search from the
// front would find it.
class KeyIndex {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    KeyIndex() = default;
    explicit KeyIndex(std::vector<std::string_view> keys);
    explicit KeyIndex(const std::vector<std::string>& keys);
    explicit KeyIndex(const Dict::Items& entries);

    // Position of the first key equal to `key`, or npos.
    std::size_t find(std::string_view key) const noexcept;
    // True when some key occurs more than once.
    bool has_repeats() const noexcept { return repeats_; }

private:
    void build();
    std::vector<std::string_view> keys_;
    std::vector<std::size_t> slots_;  // open addressing: 1 + position, 0 when empty
    bool repeats_ = false;
};

// Many look-ups in one mapping. Each look-up first tries the entry after the
// previous hit, so keys asked for in the mapping's own order cost one
// comparison each; the first miss in a larger mapping indexes it (KeyIndex),
// so keys in any other order cost O(1) each from then on. Finds what
// Dict::find finds (the mapping's keys are distinct). The mapping must
// outlive the finder, and entries may only have their values replaced
// (Dict::mut_at) while it is in use.
class DictFinder {
public:
    explicit DictFinder(const Dict& dict) noexcept : items_(&dict.items()) {}
    // Position of `key`, or KeyIndex::npos.
    std::size_t position(std::string_view key);
    const Value* find(std::string_view key) {
        const std::size_t at = position(key);
        return at == KeyIndex::npos ? nullptr : &(*items_)[at].second;
    }

private:
    const Dict::Items* items_;
    std::size_t next_ = 0;
    bool indexed_ = false;
    KeyIndex index_;
};

// Text forms used in messages: repr() quotes strings ('a'), str() does not.
// None, True, 1, 0.5, 'a', [1, 0], (2,), {'a': 1}; arrays print as array
// literals in repr and as "[1. 0.]" in str.
std::string repr(const Value& value);
std::string str(const Value& value);
// "1.0", "0.5", "1e-05", "inf", "nan": shortest round-trip float text.
std::string float_repr(double value);
// The same for a float32 value: its own shortest text ("0.1", not "0.10000000149011612").
std::string float_repr(float value);
// "['a', 'b']": a list of names as messages render it.
std::string repr_names(const std::vector<std::string>& names);

// Integer conversion as int(x): bools and ints as they are, floats truncated
// toward zero (ValueError for NaN, OverflowError for infinities), strings
// parsed as base-10 integers (ValueError otherwise), one-element arrays by
// their element; anything else a TypeError.
std::int64_t to_int(const Value& value);

template <class T>
std::shared_ptr<T> Value::as(std::string_view what) const {
    if (const auto* obj = std::get_if<ObjectPtr>(&v_)) {
        if (auto typed = std::dynamic_pointer_cast<T>(*obj)) return typed;
    }
    type_mismatch(what);
}

}  // namespace tarvik_core
