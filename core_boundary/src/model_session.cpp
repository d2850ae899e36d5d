#include "tarvik_core/model_session.hpp"

#include "tarvik_core/context.hpp"
#include "tarvik_core/errors.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

namespace {

constexpr std::string_view kKeys[] = {"execution_providers", "intra_op_threads", "inter_op_threads",
                                      "allow_spinning"};

std::string setting(std::string_view where, std::string_view key) {
    std::string out(where);
    out += ".";
    out += key;
    return out;
}

int thread_count(const Value& value, const std::string& name) {
    // bool is a kind of int to Value; a thread count of True is a mistake.
    if (!value.is_int()) throw TypeError(name + ": expected an int, got " + value.type_name());
    if (auto problem = thread_count_problem(value.as_int())) throw ValueError(name + ": " + *problem);
    return static_cast<int>(value.as_int());
}

std::vector<std::string> provider_names(const Value& value, const std::string& name) {
    if (!value.is_list() && !value.is_tuple())
        throw TypeError(name + ": expected a list of provider names, got " + value.type_name());
    const auto& items = value.is_list() ? value.as_list().items() : value.as_tuple().items();
    std::vector<std::string> names;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].is_str())
            throw TypeError(name + "[" + std::to_string(i) + "]: expected a str, got " + items[i].type_name());
        names.push_back(items[i].as_str());
    }
    if (auto problem = execution_providers_problem(names)) throw ValueError(name + ": " + *problem);
    return names;
}

}  // namespace

std::optional<std::string> thread_count_problem(std::int64_t count) {
    if (count >= 0 && count <= ModelSessionSettings::kMaxThreads) return std::nullopt;
    return "expected a thread count from 0 to " + std::to_string(ModelSessionSettings::kMaxThreads) + ", got " +
           std::to_string(count);
}

std::optional<std::string> execution_providers_problem(const std::vector<std::string>& providers) {
    for (std::size_t i = 0; i < providers.size(); ++i) {
        if (providers[i].empty()) return "provider " + std::to_string(i) + " is an empty name";
        for (std::size_t k = 0; k < i; ++k)
            if (providers[k] == providers[i]) return "'" + providers[i] + "' is listed twice";
    }
    return std::nullopt;
}

ModelSessionSettings ModelSessionSettings::defaults() {
    return {.execution_providers = std::vector<std::string>{"CPUExecutionProvider"},
            .intra_op_threads = 1,
            .inter_op_threads = 1,
            .allow_spinning = false};
}

ModelSessionSettings ModelSessionSettings::or_else(const ModelSessionSettings& fallback) const {
    return {.execution_providers = execution_providers ? execution_providers : fallback.execution_providers,
            .intra_op_threads = intra_op_threads ? intra_op_threads : fallback.intra_op_threads,
            .inter_op_threads = inter_op_threads ? inter_op_threads : fallback.inter_op_threads,
            .allow_spinning = allow_spinning ? allow_spinning : fallback.allow_spinning};
}

ModelSessionSettings ModelSessionSettings::from_value(const Value& value, std::string_view where) {
    ModelSessionSettings out;
    if (value.is_none()) return out;
    if (!value.is_dict()) throw TypeError(std::string(where) + ": expected a mapping, got " + value.type_name());
    for (const auto& [key, item] : value.as_dict()) {
        const std::string name = setting(where, key);
        if (key == kKeys[0]) out.execution_providers = provider_names(item, name);
        else if (key == kKeys[1]) out.intra_op_threads = thread_count(item, name);
        else if (key == kKeys[2]) out.inter_op_threads = thread_count(item, name);
        else if (key == kKeys[3]) {
            if (!item.is_bool()) throw TypeError(name + ": expected a bool, got " + item.type_name());
            out.allow_spinning = item.as_bool();
        } else {
            throw TypeError(std::string(where) + " got an unexpected setting '" + key + "' (allowed: " +
                            repr_names(std::vector<std::string>(std::begin(kKeys), std::end(kKeys))) + ")");
        }
    }
    return out;
}

ModelSessionSettings model_session_settings(const AgentProcessorContext& context) {
    const auto file = context.orchestration ? context.orchestration->model_session : ModelSessionSettings{};
    return context.model_session.or_else(file).or_else(ModelSessionSettings::defaults());
}

}  // namespace tarvik_core
