// Adapters for Python teachers, controllers and perceptors, and the
// registry's Python side.
#include "implementations.hpp"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "bridge.hpp"
#include "errors.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/importers.hpp"

namespace tarvik_python {

using tarvik_core::Task;

namespace {

enum class Op : std::uint8_t {
    filtered_sensor_space,
    reset,
    transform_sensors,
    compute_action_mask,
    transform_action,
    compute_reward,
    compute_success_criteria,
    compute_termination,
    compute_action,
    compute_sensors,
};
constexpr std::size_t kOps = 10;

// What an operation must give back.
enum class Expect : std::uint8_t { anything, mapping, names, number, ignored };

struct OpInfo {
    const char* name;
    Expect expect;
};

constexpr std::array<OpInfo, kOps> kOpInfo = {{
    {"filtered_sensor_space", Expect::names},
    {"reset", Expect::ignored},
    {"transform_sensors", Expect::mapping},
    {"compute_action_mask", Expect::anything},
    {"transform_action", Expect::anything},
    {"compute_reward", Expect::number},
    {"compute_success_criteria", Expect::anything},
    {"compute_termination", Expect::anything},
    {"compute_action", Expect::anything},
    {"compute_sensors", Expect::mapping},
}};

constexpr const OpInfo& info(Op op) { return kOpInfo[static_cast<std::size_t>(op)]; }

// What one Python class defines, worked out once per class.
struct ClassInfo {
    PyRef type;  // held, so that the cache key is never reused by another class
    std::string name;
    std::uint32_t defined = 0;  // bit per Op
    std::array<std::string, kOps> who;     // "Class.operation()" for messages
    std::array<std::string, kOps> result;  // "Class.operation() result"

    bool defines(Op op) const { return defined & (1u << static_cast<unsigned>(op)); }
};

// Cached per class; touched only with the GIL held.
std::map<PyObject*, std::shared_ptr<const ClassInfo>>& class_cache() {
    static auto* cache = new std::map<PyObject*, std::shared_ptr<const ClassInfo>>();
    return *cache;
}

std::shared_ptr<const ClassInfo> class_info(py::handle type) {
    auto& cache = class_cache();
    if (auto it = cache.find(type.ptr()); it != cache.end()) return it->second;
    auto out = std::make_shared<ClassInfo>();
    out->type = PyRef(type);
    out->name = py::str(type.attr("__qualname__")).cast<std::string>();
    for (std::size_t i = 0; i < kOps; ++i) {
        out->who[i] = out->name + "." + kOpInfo[i].name + "()";
        out->result[i] = out->who[i] + " result";
        py::object method = py::getattr(type, kOpInfo[i].name, py::none());
        // The package's base classes mark their pass-through defaults, which
        // the C++ defaults do without a trip through Python.
        if (!method.is_none() && !py::bool_(py::getattr(method, "__tarvik_default__", py::bool_(false))))
            out->defined |= 1u << i;
    }
    cache.emplace(type.ptr(), out);
    return out;
}

// The last observation dict handed to or received from one instance, with
// the Value it stands for. A teacher gets the same observation several times
// a step (transform_sensors, compute_action_mask, transform_action) and often
// hands it back unchanged: while the dict still holds exactly the objects it
// was made with, it stands for that Value both ways, which spares building
// it again and converting it back. The objects are held, so an identity is
// never a new object at a reused address. Used with the GIL held.
class DictMemo {
public:
    PyObject* dict_for(const Value& value) const {
        if (!dict_ || !value.is_dict() || !value.as_dict().shares_items_with(value_.as_dict())) return nullptr;
        return unchanged() ? dict_.ptr() : nullptr;
    }
    const Value* value_for(py::handle dict) const {
        return dict_ && dict.ptr() == dict_.ptr() && unchanged() ? &value_ : nullptr;
    }
    void remember(const Value& value, py::handle dict) {
        const Py_ssize_t n = PyDict_Size(dict.ptr());
        py::tuple entries(2 * n);
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t position = 0;
        for (Py_ssize_t i = 0; PyDict_Next(dict.ptr(), &position, &key, &item); i += 2) {
            PyTuple_SET_ITEM(entries.ptr(), i, py::reinterpret_borrow<py::object>(key).release().ptr());
            PyTuple_SET_ITEM(entries.ptr(), i + 1, py::reinterpret_borrow<py::object>(item).release().ptr());
        }
        value_ = value;
        dict_ = PyRef(dict);
        entries_ = PyRef(entries);
    }

private:
    bool unchanged() const {
        PyObject* entries = entries_.ptr();
        if (PyDict_Size(dict_.ptr()) * 2 != PyTuple_GET_SIZE(entries)) return false;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        Py_ssize_t position = 0;
        for (Py_ssize_t i = 0; PyDict_Next(dict_.ptr(), &position, &key, &item); i += 2)
            if (key != PyTuple_GET_ITEM(entries, i) || item != PyTuple_GET_ITEM(entries, i + 1)) return false;
        return true;
    }

    Value value_;
    PyRef dict_;
    PyRef entries_;  // keys and items, interleaved
};

// Calls into one Python instance.
class PythonCalls {
public:
    PythonCalls(py::handle instance, std::shared_ptr<const ClassInfo> cls) : instance_(instance), class_(std::move(cls)) {
        for (std::size_t i = 0; i < kOps; ++i)
            if (class_->defines(static_cast<Op>(i))) methods_[i] = PyRef(instance.attr(kOpInfo[i].name));
    }

    bool defines(Op op) const { return class_->defines(op); }
    const std::string& class_name() const { return class_->name; }
    std::string repr() const {
        py::gil_scoped_acquire gil;
        return py::repr(instance_.object()).cast<std::string>();
    }

    // The arguments are read before the first suspension, so references to
    // the caller's values are enough.
    Task<Value> call(Op op, const Value* a = nullptr, const Value* b = nullptr, const Value* c = nullptr) {
        const std::size_t index = static_cast<std::size_t>(op);
        PyRef awaitable;
        Value value;
        {
            py::gil_scoped_acquire gil;
            try {
                py::object result = invoke(index, a, b, c);
                if (is_awaitable(result)) awaitable = PyRef(result);
                else value = check(op, result);
            } catch (py::error_already_set& e) {
                std::rethrow_exception(from_python_error(e));
            }
        }
        if (!awaitable) co_return value;
        PyRef result = co_await await_python(std::move(awaitable), class_->who[index]);
        {
            py::gil_scoped_acquire gil;
            try {
                value = check(op, result.object());
            } catch (py::error_already_set& e) {
                std::rethrow_exception(from_python_error(e));
            }
        }
        co_return value;
    }

private:
    py::object invoke(std::size_t index, const Value* a, const Value* b, const Value* c) {
        std::array<py::object, 3> held;
        std::array<PyObject*, 3> args{};
        std::size_t n = 0;
        for (const Value* v : {a, b, c}) {
            if (!v) break;
            if (PyObject* remembered = memo_.dict_for(*v)) {
                held[n] = py::reinterpret_borrow<py::object>(remembered);
            } else {
                held[n] = to_python(*v);
                if (n == 0 && v->is_dict()) memo_.remember(*v, held[n]);
            }
            args[n] = held[n].ptr();
            ++n;
        }
        PyObject* result = PyObject_Vectorcall(methods_[index].ptr(), args.data(), n, nullptr);
        if (!result) throw_python_error();
        return py::reinterpret_steal<py::object>(result);
    }

    Value check(Op op, py::handle result) {
        const std::string& who = class_->who[static_cast<std::size_t>(op)];
        auto wrong = [&](const char* expected) {
            throw tarvik_core::TypeError(who + " returned " + Py_TYPE(result.ptr())->tp_name + "; expected " +
                                         expected);
        };
        switch (info(op).expect) {
            case Expect::ignored: return Value();
            case Expect::mapping:
                if (!PyDict_Check(result.ptr())) wrong("a dict of sensor values");
                break;
            case Expect::names:
                if (!result.is_none() && !PyList_Check(result.ptr()) && !PyTuple_Check(result.ptr()))
                    wrong("None or a list of sensor names");
                break;
            case Expect::number: {
                Value v = to_value(result, Where{who});
                if (!v.is_number()) wrong("a number");
                return v;
            }
            case Expect::anything: break;
        }
        const Where where{class_->result[static_cast<std::size_t>(op)]};
        if (!PyDict_Check(result.ptr())) return to_value(result, where);
        if (const Value* same = memo_.value_for(result)) return *same;
        Value converted = to_value(result, where);
        memo_.remember(converted, result);
        return converted;
    }

    PyRef instance_;
    std::shared_ptr<const ClassInfo> class_;
    std::array<PyRef, kOps> methods_;
    DictMemo memo_;
};

// What every adapter shares: reset and the text form; and for teachers and
// controllers, filtered_sensor_space.
template <class Base>
class PyAdapter : public Base {
public:
    explicit PyAdapter(PythonCalls py) : py_(std::move(py)) {}
    Task<void> reset() override {
        if (py_.defines(Op::reset)) co_await py_.call(Op::reset);
    }
    std::string repr() const override { return py_.repr(); }

protected:
    PythonCalls py_;
};

template <class Base>
class PyAgentAdapter : public PyAdapter<Base> {
public:
    using PyAdapter<Base>::PyAdapter;
    Task<Value> filtered_sensor_space() override {
        if (!this->py_.defines(Op::filtered_sensor_space)) return Base::filtered_sensor_space();
        return this->py_.call(Op::filtered_sensor_space);
    }
};

class PyTeacher final : public PyAgentAdapter<tarvik_core::Teacher> {
public:
    using PyAgentAdapter::PyAgentAdapter;

    Task<Value> transform_sensors(const Value& obs, const Value& extra) override {
        if (!py_.defines(Op::transform_sensors)) return Teacher::transform_sensors(obs, extra);
        return py_.call(Op::transform_sensors, &obs, &extra);
    }
    Task<Value> compute_action_mask(const Value& obs, const Value& previous_action) override {
        if (!py_.defines(Op::compute_action_mask)) return Teacher::compute_action_mask(obs, previous_action);
        return py_.call(Op::compute_action_mask, &obs, &previous_action);
    }
    Task<Value> transform_action(const Value& obs, const Value& action) override {
        if (!py_.defines(Op::transform_action)) return Teacher::transform_action(obs, action);
        return py_.call(Op::transform_action, &obs, &action);
    }
    Task<Value> compute_reward(const Value& obs, const Value& action, const Value& sim_reward) override {
        if (!py_.defines(Op::compute_reward)) return Teacher::compute_reward(obs, action, sim_reward);
        return py_.call(Op::compute_reward, &obs, &action, &sim_reward);
    }
    Task<Value> compute_success_criteria(const Value& obs, const Value& action) override {
        if (!py_.defines(Op::compute_success_criteria)) return Teacher::compute_success_criteria(obs, action);
        return py_.call(Op::compute_success_criteria, &obs, &action);
    }
    Task<Value> compute_termination(const Value& obs, const Value& action) override {
        if (!py_.defines(Op::compute_termination)) return Teacher::compute_termination(obs, action);
        return py_.call(Op::compute_termination, &obs, &action);
    }
};

class PyController final : public PyAgentAdapter<tarvik_core::Controller> {
public:
    explicit PyController(PythonCalls py) : PyAgentAdapter(std::move(py)) {
        if (!py_.defines(Op::compute_action))
            throw tarvik_core::TypeError(py_.class_name() +
                                         " cannot be a controller: it defines no compute_action(obs, previous_action)");
    }
    Task<Value> compute_action(const Value& obs, const Value& previous_action) override {
        return py_.call(Op::compute_action, &obs, &previous_action);
    }
};

class PyPerceptor final : public PyAdapter<tarvik_core::Perceptor> {
public:
    using PyAdapter::PyAdapter;
    Task<Value> compute_sensors(const Value& sensors) override {
        if (!py_.defines(Op::compute_sensors)) return Perceptor::compute_sensors(sensors);
        return py_.call(Op::compute_sensors, &sensors);
    }
};

// A new adapter around a new instance made by `factory` (any thread).
template <class Adapter>
std::shared_ptr<Adapter> instantiate(const PyRef& factory) {
    py::gil_scoped_acquire gil;
    try {
        py::object instance = factory.object()();
        return std::make_shared<Adapter>(PythonCalls(instance, class_info(py::type::handle_of(instance))));
    } catch (py::error_already_set& e) {
        std::rethrow_exception(from_python_error(e));
    }
}

struct Registration {
    std::string name;
    std::string kind;
    PyRef factory;
    std::string version;
    std::string origin;
    std::string module;
};

struct PythonRegistry {
    PyRef snapshot;
    PyRef import_module;
};

PythonRegistry& python_registry() {
    static auto* registry = new PythonRegistry();
    return *registry;
}

std::vector<Registration> registrations() {
    py::gil_scoped_acquire gil;
    std::vector<Registration> out;
    if (!python_registry().snapshot) return out;
    try {
        for (py::handle entry : python_registry().snapshot.object()()) {
            auto t = py::reinterpret_borrow<py::tuple>(entry);
            out.push_back({t[0].cast<std::string>(), t[1].cast<std::string>(), PyRef(t[2]), t[3].cast<std::string>(),
                           t[4].cast<std::string>(), t[5].cast<std::string>()});
        }
    } catch (py::error_already_set& e) {
        std::rethrow_exception(from_python_error(e));
    }
    return out;
}

bool within_module(const std::string& module, const std::string& parent) {
    return module == parent || (module.size() > parent.size() && module.compare(0, parent.size(), parent) == 0 &&
                                module[parent.size()] == '.');
}

void add(tarvik_core::Registry& registry, const Registration& r) {
    const std::string origin = registry.origin();
    registry.set_origin(r.origin);
    try {
        const PyRef factory = r.factory;
        if (r.kind == "teacher")
            registry.add_teacher(r.name, [factory] { return instantiate<PyTeacher>(factory); }, r.version);
        else if (r.kind == "controller")
            registry.add_controller(r.name, [factory] { return instantiate<PyController>(factory); }, r.version);
        else
            registry.add_perceptor(r.name, [factory] { return instantiate<PyPerceptor>(factory); }, r.version);
    } catch (...) {
        registry.set_origin(origin);
        throw;
    }
    registry.set_origin(origin);
}

}  // namespace

void add_python_implementations(tarvik_core::Registry& registry, const std::vector<std::string>* names,
                                const std::string* module) {
    for (const Registration& r : registrations()) {
        if (names && std::find(names->begin(), names->end(), r.name) == names->end()) continue;
        if (auto existing = registry.find(r.name)) {
            if (module && within_module(r.module, *module) && existing->origin() != r.origin)
                throw tarvik_core::ValueError("implementation '" + r.name + "' is registered twice: by " +
                                              existing->origin() + " and by " + r.origin);
            continue;
        }
        add(registry, r);
    }
}

void install_python_registry(py::object snapshot, py::object import_module) {
    python_registry() = PythonRegistry{PyRef(snapshot), PyRef(import_module)};
    tarvik_core::install_importer("python", [](const tarvik_core::ModuleImport& request, tarvik_core::Registry& registry) {
        {
            py::gil_scoped_acquire gil;
            try {
                python_registry().import_module.object()(request.module, request.base_dir);
            } catch (py::error_already_set& e) {
                std::rethrow_exception(from_python_error(e));
            }
        }
        add_python_implementations(registry, nullptr, &request.module);
    });
}

}  // namespace tarvik_python
