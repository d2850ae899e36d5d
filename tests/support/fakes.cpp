#include "support/fakes.hpp"

#include <gtest/gtest.h>

namespace tarvik_test {

std::size_t CallRecorder::count(std::string_view op) const {
    std::size_t n = 0;
    for (const auto& c : calls)
        if (c.op == op) ++n;
    return n;
}

const std::vector<Value>& CallRecorder::last(std::string_view op) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->op == op) return it->args;
    ADD_FAILURE() << "no call of " << op;
    static const std::vector<Value> none;
    return none;
}

void CallRecorder::record(std::string op, std::vector<Value> args) {
    if (journal_) journal_->add(prefix_ + "." + op);
    calls.push_back({std::move(op), std::move(args)});
}

// ---- teacher -----------------------------------------------------------------

Task<Value> FakeTeacher::filtered_sensor_space() {
    record("filtered_sensor_space", {});
    if (filtered_error) std::rethrow_exception(filtered_error);
    co_return filtered_keys;
}

Task<void> FakeTeacher::reset() {
    record("reset", {});
    if (reset_error) std::rethrow_exception(reset_error);
    co_return;
}

Task<Value> FakeTeacher::transform_sensors(const Value& obs, const Value& extra) {
    record("transform_sensors", {obs, extra});
    co_return on_transform_sensors ? on_transform_sensors(obs) : obs;
}

Task<Value> FakeTeacher::compute_action_mask(const Value& obs, const Value& previous_action) {
    record("compute_action_mask", {obs, previous_action});
    co_return mask;
}

Task<Value> FakeTeacher::transform_action(const Value& obs, const Value& action) {
    record("transform_action", {obs, action});
    co_return on_transform_action ? on_transform_action(obs, action) : action;
}

Task<Value> FakeTeacher::compute_reward(const Value& obs, const Value& action, const Value& sim_reward) {
    record("compute_reward", {obs, action, sim_reward});
    co_return reward;
}

Task<Value> FakeTeacher::compute_success_criteria(const Value& obs, const Value& action) {
    record("compute_success_criteria", {obs, action});
    co_return success;
}

Task<Value> FakeTeacher::compute_termination(const Value& obs, const Value& action) {
    record("compute_termination", {obs, action});
    co_return termination;
}

// ---- controller --------------------------------------------------------------

Task<Value> FakeController::compute_action(const Value& obs, const Value& previous_action) {
    record("compute_action", {obs, previous_action});
    co_return on_compute_action ? on_compute_action(obs, previous_action) : Value(0);
}

Task<Value> FakeController::filtered_sensor_space() {
    record("filtered_sensor_space", {});
    co_return filtered_keys;
}

Task<void> FakeController::reset() {
    record("reset", {});
    if (reset_error) std::rethrow_exception(reset_error);
    co_return;
}

// ---- perceptor ---------------------------------------------------------------

Task<Value> FakePerceptor::compute_sensors(const Value& sensors) {
    record("compute_sensors", {sensors});
    co_return on_compute_sensors ? on_compute_sensors(sensors) : Value(Dict{});
}

Task<void> FakePerceptor::reset() {
    record("reset", {});
    if (reset_error) std::rethrow_exception(reset_error);
    co_return;
}

// ---- registration ------------------------------------------------------------

namespace {
template <class Fake, class Add>
std::shared_ptr<Made<Fake>> register_fake(Add add, std::function<void(Fake&)> configure,
                                          std::shared_ptr<Journal> journal) {
    auto made = std::make_shared<Made<Fake>>();
    add([made, configure, journal] {
        auto fake = std::make_shared<Fake>(journal);
        if (configure) configure(*fake);
        made->all.push_back(fake);
        return fake;
    });
    return made;
}
}  // namespace

std::shared_ptr<Made<FakeTeacher>> register_fake_teacher(tarvik_core::Registry& registry, const std::string& name,
                                                         std::function<void(FakeTeacher&)> configure,
                                                         std::shared_ptr<Journal> journal, std::string version) {
    return register_fake<FakeTeacher>(
        [&](auto factory) { registry.add_teacher(name, factory, version); }, std::move(configure),
        std::move(journal));
}

std::shared_ptr<Made<FakeController>> register_fake_controller(tarvik_core::Registry& registry,
                                                               const std::string& name,
                                                               std::function<void(FakeController&)> configure,
                                                               std::shared_ptr<Journal> journal,
                                                               std::string version) {
    return register_fake<FakeController>(
        [&](auto factory) { registry.add_controller(name, factory, version); }, std::move(configure),
        std::move(journal));
}

std::shared_ptr<Made<FakePerceptor>> register_fake_perceptor(tarvik_core::Registry& registry, const std::string& name,
                                                             std::function<void(FakePerceptor&)> configure,
                                                             std::shared_ptr<Journal> journal, std::string version) {
    return register_fake<FakePerceptor>(
        [&](auto factory) { registry.add_perceptor(name, factory, version); }, std::move(configure),
        std::move(journal));
}

// ---- network manager ---------------------------------------------------------

namespace {
class RecordingRemoteManager : public tarvik_core::RemoteManager {
public:
    RecordingRemoteManager(tarvik_core::RemoteManagerKind kind,
                           std::shared_ptr<std::vector<AwaitingNetworkMgr::RemoteCall>> log)
        : RemoteManager(kind), inner_(tarvik_core::make_inproc_remote_manager(kind)), log_(std::move(log)) {}
    tarvik_core::MaybeTask<Value> invoke(const std::string& method, const List& args, const Dict& kwargs) override {
        log_->push_back({std::string(tarvik_core::remote_manager_name(kind())), method, args, kwargs});
        return inner_->invoke(method, args, kwargs);
    }

private:
    std::shared_ptr<tarvik_core::RemoteManager> inner_;
    std::shared_ptr<std::vector<AwaitingNetworkMgr::RemoteCall>> log_;
};
}  // namespace

AwaitingNetworkMgr::AwaitingNetworkMgr()
    : NetworkMgr(tarvik_core::TrainerConfig(tarvik_core::default_trainer_settings())) {
    using tarvik_core::RemoteManagerKind;
    for (auto kind : {RemoteManagerKind::sim, RemoteManagerKind::agent, RemoteManagerKind::perceptor,
                      RemoteManagerKind::controller})
        set_remote_manager(kind, std::make_shared<RecordingRemoteManager>(kind, remote_calls));
}

tarvik_core::MaybeTask<Value> AwaitingNetworkMgr::_call_method(const RemoteMethod& attr, const List& args,
                                                               const Dict& kwargs) {
    return attr(args, kwargs);
}

tarvik_core::OrchestrationPtr orchestration_from_json(const std::string& json, const std::string& base_dir) {
    return tarvik_core::Orchestration::from_json(json, base_dir, "test orchestration");
}

}  // namespace tarvik_test
