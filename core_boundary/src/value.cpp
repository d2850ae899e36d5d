#include "tarvik_core/value.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cxxabi.h>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string_view>

#include "tarvik_core/errors.hpp"

namespace tarvik_core {

// ---- class names -------------------------------------------------------------

std::string class_name_of(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled ? demangled : type.name();
    std::free(demangled);
    // Drop template arguments first, then every enclosing scope.
    if (auto lt = name.find('<'); lt != std::string::npos) name.erase(lt);
    if (auto colons = name.rfind("::"); colons != std::string::npos) name.erase(0, colons + 2);
    return name;
}

namespace {
// Text joined by appending. ("literal" + std::string&& trips a false
// -Wrestrict warning in g++ 12 at -O2 and above.)
std::string joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (auto part : parts) size += part.size();
    std::string out;
    out.reserve(size);
    for (auto part : parts) out += part;
    return out;
}
}  // namespace

std::string Object::repr() const { return joined({"<", class_name(), " object>"}); }

// ---- containers ------------------------------------------------------------

namespace {
[[noreturn]] void index_error(const char* kind, std::int64_t i, std::size_t size) {
    throw IndexError(std::string(kind) + " index " + std::to_string(i) + " out of range (size " +
                     std::to_string(size) + ")");
}

std::size_t checked_index(const char* kind, std::int64_t i, std::size_t size) {
    std::int64_t n = static_cast<std::int64_t>(size);
    std::int64_t pos = i < 0 ? i + n : i;
    if (pos < 0 || pos >= n) index_error(kind, i, size);
    return static_cast<std::size_t>(pos);
}
}  // namespace

List::List(std::initializer_list<Value> items) : items_(Items(items)) {}
List::List(Items items) : items_(std::move(items)) {}
const Value& List::operator[](std::size_t i) const { return items_.get()[checked_index("list", static_cast<std::int64_t>(i), size())]; }
const Value& List::at(std::int64_t i) const { return items_.get()[checked_index("list", i, size())]; }
void List::push_back(Value v) { items_.mut().push_back(std::move(v)); }
Value& List::mut(std::size_t i) {
    auto pos = checked_index("list", static_cast<std::int64_t>(i), size());
    return items_.mut()[pos];
}
List::Items::const_iterator List::begin() const noexcept { return items_.get().begin(); }
List::Items::const_iterator List::end() const noexcept { return items_.get().end(); }

Tuple::Tuple(std::initializer_list<Value> items) : items_(Items(items)) {}
Tuple::Tuple(Items items) : items_(std::move(items)) {}
const Value& Tuple::operator[](std::size_t i) const { return items_.get()[checked_index("tuple", static_cast<std::int64_t>(i), size())]; }
const Value& Tuple::at(std::int64_t i) const { return items_.get()[checked_index("tuple", i, size())]; }
Tuple::Items::const_iterator Tuple::begin() const noexcept { return items_.get().begin(); }
Tuple::Items::const_iterator Tuple::end() const noexcept { return items_.get().end(); }

Dict::Dict(std::initializer_list<Entry> entries) {
    for (const auto& e : entries) set(e.first, e.second);
}

Dict Dict::from_unique(Items entries) {
    Dict d;
    d.items_ = detail::CowItems<Items>(std::move(entries));
    return d;
}

Dict Dict::from_entries(Items entries) {
    // Few entries: every pair is compared, by hash first, which costs less
    // than building a table. More: one pass through a hash table.
    constexpr std::size_t kInline = 32;
    if (entries.size() > kInline) {
        const KeyIndex index(entries);
        if (!index.has_repeats()) return from_unique(std::move(entries));
        // A repeated key keeps its first position and takes its last value,
        // as set() would do. Every first occurrence is found before any key
        // is moved out of `entries` (the index views them).
        std::vector<std::size_t> first(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) first[i] = index.find(entries[i].first);
        std::vector<std::size_t> placed(entries.size());
        Items out;
        out.reserve(entries.size());
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (first[i] == i) {
                placed[i] = out.size();
                out.push_back(std::move(entries[i]));
            } else {
                out[placed[first[i]]].second = std::move(entries[i].second);
            }
        }
        return from_unique(std::move(out));
    }
    std::array<std::size_t, kInline> hashes;
    bool distinct = true;
    for (std::size_t i = 0; i < entries.size() && distinct; ++i) {
        hashes[i] = std::hash<std::string_view>{}(entries[i].first);
        for (std::size_t j = 0; j < i; ++j) {
            if (hashes[j] == hashes[i] && entries[j].first == entries[i].first) {
                distinct = false;
                break;
            }
        }
    }
    if (distinct) return from_unique(std::move(entries));
    Dict d;
    for (auto& [key, value] : entries) d.set(std::move(key), std::move(value));
    return d;
}

const Value* Dict::find(std::string_view key) const noexcept {
    for (const auto& e : items_.get())
        if (e.first == key) return &e.second;
    return nullptr;
}

const Value& Dict::at(std::string_view key) const {
    if (const Value* v = find(key)) return *v;
    throw KeyError(repr(Value(std::string(key))));
}

void Dict::set(std::string key, Value value) {
    for (auto& e : items_.mut()) {
        if (e.first == key) {
            e.second = std::move(value);
            return;
        }
    }
    items_.mut().emplace_back(std::move(key), std::move(value));
}

Value& Dict::operator[](std::string_view key) {
    auto& items = items_.mut();
    for (auto& e : items)
        if (e.first == key) return e.second;
    items.emplace_back(std::string(key), Value());
    return items.back().second;
}

Value& Dict::mut_at(std::size_t position) {
    const auto at = checked_index("dict", static_cast<std::int64_t>(position), size());
    return items_.mut()[at].second;
}

bool Dict::erase(std::string_view key) {
    if (!find(key)) return false;
    auto& items = items_.mut();
    for (auto it = items.begin(); it != items.end(); ++it) {
        if (it->first == key) {
            items.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<std::string> Dict::keys() const {
    std::vector<std::string> out;
    out.reserve(size());
    for (const auto& e : items_.get()) out.push_back(e.first);
    return out;
}

Dict::Items::const_iterator Dict::begin() const noexcept { return items_.get().begin(); }
Dict::Items::const_iterator Dict::end() const noexcept { return items_.get().end(); }

// ---- key look-ups -----------------------------------------------------------

KeyIndex::KeyIndex(std::vector<std::string_view> keys) : keys_(std::move(keys)) { build(); }

KeyIndex::KeyIndex(const std::vector<std::string>& keys) : keys_(keys.begin(), keys.end()) { build(); }

KeyIndex::KeyIndex(const Dict::Items& entries) {
    keys_.reserve(entries.size());
    for (const auto& entry : entries) keys_.push_back(entry.first);
    build();
}

void KeyIndex::build() {
    // Linear probing in a table at most half full keeps probe runs short.
    std::size_t capacity = 8;
    while (capacity < 2 * keys_.size()) capacity *= 2;
    slots_.assign(capacity, 0);
    const std::size_t mask = capacity - 1;
    for (std::size_t i = 0; i < keys_.size(); ++i) {
        for (std::size_t slot = std::hash<std::string_view>{}(keys_[i]) & mask;; slot = (slot + 1) & mask) {
            const std::size_t held = slots_[slot];
            if (held == 0) {
                slots_[slot] = i + 1;
                break;
            }
            if (keys_[held - 1] == keys_[i]) {  // the first occurrence stays
                repeats_ = true;
                break;
            }
        }
    }
}

std::size_t KeyIndex::find(std::string_view key) const noexcept {
    if (slots_.empty()) return npos;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = std::hash<std::string_view>{}(key) & mask;; slot = (slot + 1) & mask) {
        const std::size_t held = slots_[slot];
        if (held == 0) return npos;
        if (keys_[held - 1] == key) return held - 1;
    }
}

std::size_t DictFinder::position(std::string_view key) {
    const Dict::Items& items = *items_;
    if (next_ < items.size() && items[next_].first == key) return next_++;
    // Out of order: a small mapping is searched, a larger one indexed once.
    constexpr std::size_t kSearched = 8;
    std::size_t at = KeyIndex::npos;
    if (items.size() <= kSearched) {
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].first == key) {
                at = i;
                break;
            }
        }
    } else {
        if (!indexed_) {
            index_ = KeyIndex(items);
            indexed_ = true;
        }
        at = index_.find(key);
    }
    if (at != KeyIndex::npos) next_ = at + 1;
    return at;
}

// ---- Value -----------------------------------------------------------------

void Value::type_mismatch(std::string_view expected) const {
    throw TypeError("expected " + std::string(expected) + ", got " + type_name());
}

bool Value::as_bool() const {
    if (const auto* b = std::get_if<bool>(&v_)) return *b;
    type_mismatch("bool");
}

std::int64_t Value::as_int() const {
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    if (const auto* b = std::get_if<bool>(&v_)) return *b ? 1 : 0;
    type_mismatch("int");
}

double Value::as_double() const {
    if (const auto* d = std::get_if<double>(&v_)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (const auto* b = std::get_if<bool>(&v_)) return *b ? 1.0 : 0.0;
    type_mismatch("float");
}

const std::string& Value::as_str() const {
    if (const auto* s = std::get_if<std::string>(&v_)) return *s;
    type_mismatch("str");
}

const NdArray& Value::as_array() const {
    if (const auto* a = std::get_if<NdArray>(&v_)) return *a;
    type_mismatch("ndarray");
}

const List& Value::as_list() const {
    if (const auto* l = std::get_if<List>(&v_)) return *l;
    type_mismatch("list");
}

const Tuple& Value::as_tuple() const {
    if (const auto* t = std::get_if<Tuple>(&v_)) return *t;
    type_mismatch("tuple");
}

const Dict& Value::as_dict() const {
    if (const auto* d = std::get_if<Dict>(&v_)) return *d;
    type_mismatch("dict");
}

Dict& Value::as_dict_mut() {
    if (auto* d = std::get_if<Dict>(&v_)) return *d;
    type_mismatch("dict");
}

const ObjectPtr& Value::as_object() const {
    if (const auto* o = std::get_if<ObjectPtr>(&v_)) return *o;
    type_mismatch("object");
}

bool Value::truthy() const {
    return std::visit(
        [](const auto& v) -> bool {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return false;
            else if constexpr (std::is_same_v<T, bool>) return v;
            else if constexpr (std::is_same_v<T, std::int64_t>) return v != 0;
            else if constexpr (std::is_same_v<T, double>) return v != 0.0;
            else if constexpr (std::is_same_v<T, std::string>) return !v.empty();
            else if constexpr (std::is_same_v<T, NdArray>) {
                if (v.size() == 0) return false;
                if (v.size() > 1)
                    throw ValueError("The truth value of an array with more than one element is ambiguous. "
                                     "Use a.any() or a.all()");
                return v.item(0) != 0.0;
            } else if constexpr (std::is_same_v<T, ObjectPtr>) return true;
            else return !v.empty();
        },
        v_);
}

std::string Value::type_name() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return "NoneType";
            else if constexpr (std::is_same_v<T, bool>) return "bool";
            else if constexpr (std::is_same_v<T, std::int64_t>) return "int";
            else if constexpr (std::is_same_v<T, double>) return "float";
            else if constexpr (std::is_same_v<T, std::string>) return "str";
            else if constexpr (std::is_same_v<T, NdArray>) return "ndarray";
            else if constexpr (std::is_same_v<T, List>) return "list";
            else if constexpr (std::is_same_v<T, Tuple>) return "tuple";
            else if constexpr (std::is_same_v<T, Dict>) return "dict";
            else return v->class_name();
        },
        v_);
}

namespace {
template <class Seq>
bool equal_items(const Seq& a, const Seq& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(a.items()[i] == b.items()[i])) return false;
    return true;
}
}  // namespace

bool operator==(const Value& a, const Value& b) {
    if (a.is_number() && b.is_number()) {
        if (a.is_float() || b.is_float()) return a.as_double() == b.as_double();
        return a.as_int() == b.as_int();
    }
    if (a.v_.index() != b.v_.index()) return false;
    return std::visit(
        [&](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.v_);
            if constexpr (std::is_same_v<T, std::monostate>) return true;
            else if constexpr (std::is_same_v<T, NdArray>) return x.equals(y);
            else if constexpr (std::is_same_v<T, List> || std::is_same_v<T, Tuple>) return equal_items(x, y);
            else if constexpr (std::is_same_v<T, Dict>) {
                if (x.size() != y.size()) return false;
                DictFinder others(y);
                for (const auto& [k, v] : x) {
                    const Value* other = others.find(k);
                    if (!other || !(v == *other)) return false;
                }
                return true;
            } else return x == y;
        },
        a.v_);
}

// ---- text forms ------------------------------------------------------------

namespace {

// Lays out shortest round-trip digits the way float repr does: positional
// when the decimal exponent is in [-4, 16), scientific otherwise.
std::string layout_float(const char* sci_begin, const char* sci_end) {
    std::string sci(sci_begin, sci_end);
    bool negative = !sci.empty() && sci[0] == '-';
    if (negative) sci.erase(0, 1);
    auto e_pos = sci.find('e');
    std::string mantissa = sci.substr(0, e_pos);
    int exponent = std::atoi(sci.c_str() + e_pos + 1);
    std::string digits;
    for (char c : mantissa)
        if (c != '.') digits += c;
    int decpt = exponent + 1;  // position of the decimal point after the first digit
    std::string out;
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            out = "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
        } else if (static_cast<std::size_t>(decpt) >= digits.size()) {
            out = digits + std::string(static_cast<std::size_t>(decpt) - digits.size(), '0') + ".0";
        } else {
            out = digits.substr(0, static_cast<std::size_t>(decpt)) + "." + digits.substr(static_cast<std::size_t>(decpt));
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1) out.append(".").append(digits, 1);
        char exp_buf[16];
        std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
        out += exp_buf;
    }
    return negative ? "-" + out : out;
}

template <class F>
std::string float_text(F value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    return layout_float(buf, res.ptr);
}

std::string quote(const std::string& s) {
    const bool use_double = s.find('\'') != std::string::npos && s.find('"') == std::string::npos;
    const char q = use_double ? '"' : '\'';
    std::string out(1, q);
    for (char c : s) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c == q) out += '\\';
                out += c;
        }
    }
    return out + q;
}

template <class Seq>
std::string join_items(const Seq& seq) {
    std::string out;
    bool first = true;
    for (const auto& item : seq) {
        if (!first) out += ", ";
        first = false;
        out += repr(item);
    }
    return out;
}

}  // namespace

std::string float_repr(double value) { return float_text(value); }
std::string float_repr(float value) { return float_text(value); }

std::string repr(const Value& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) return "None";
            else if constexpr (std::is_same_v<T, bool>) return v ? "True" : "False";
            else if constexpr (std::is_same_v<T, std::int64_t>) return std::to_string(v);
            else if constexpr (std::is_same_v<T, double>) return float_repr(v);
            else if constexpr (std::is_same_v<T, std::string>) return quote(v);
            else if constexpr (std::is_same_v<T, NdArray>) return v.repr();
            else if constexpr (std::is_same_v<T, List>) return joined({"[", join_items(v), "]"});
            else if constexpr (std::is_same_v<T, Tuple>)
                return joined({"(", join_items(v), v.size() == 1 ? ",)" : ")"});
            else if constexpr (std::is_same_v<T, Dict>) {
                std::string out = "{";
                bool first = true;
                for (const auto& [k, item] : v) {
                    if (!first) out += ", ";
                    first = false;
                    out += quote(k);
                    out += ": ";
                    out += repr(item);
                }
                out += "}";
                return out;
            } else return v->repr();
        },
        value.storage());
}

std::string str(const Value& value) {
    if (value.is_str()) return value.as_str();
    if (value.is_array()) return value.as_array().str();
    return repr(value);
}

std::string repr_names(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        out += quote(names[i]);
    }
    return out + "]";
}

std::int64_t to_int(const Value& value) {
    if (value.is_int() || value.is_bool()) return value.as_int();
    if (value.is_float()) {
        double d = value.as_double();
        if (std::isnan(d)) throw ValueError("cannot convert float NaN to integer");
        if (std::isinf(d)) throw OverflowError("cannot convert float infinity to integer");
        double t = std::trunc(d);
        if (t >= 9.2233720368547758e18 || t < -9.2233720368547758e18)
            throw OverflowError("integer " + float_repr(t) + " does not fit in 64 bits");
        return static_cast<std::int64_t>(t);
    }
    if (value.is_str()) {
        const std::string& s = value.as_str();
        auto b = s.find_first_not_of(" \t\n\r");
        auto e = s.find_last_not_of(" \t\n\r");
        std::int64_t out = 0;
        if (b != std::string::npos) {
            const char* first = s.data() + b;
            if (*first == '+') ++first;
            auto res = std::from_chars(first, s.data() + e + 1, out);
            if (res.ec == std::errc() && res.ptr == s.data() + e + 1) return out;
        }
        throw ValueError("invalid literal for int() with base 10: " + repr(value));
    }
    if (value.is_array()) {
        const NdArray& a = value.as_array();
        if (a.size() != 1) throw TypeError("only arrays of one element can be converted to an integer");
        if (dtype_is_float(a.dtype())) return to_int(Value(a.item(0)));
        return a.item_int(0);
    }
    throw TypeError("int() argument must be a string, a bytes-like object or a real number, not '" +
                    value.type_name() + "'");
}

}  // namespace tarvik_core
