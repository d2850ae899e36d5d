// The operations table.
#include "protocol.hpp"

#include <array>
#include <cstdio>
#include <random>

namespace tarvik_remote {

using tarvik_core::ImplKind;

namespace {
constexpr std::array<OperationInfo, 10> kOperations{{
    {pb::FILTERED_SENSOR_SPACE, "filtered_sensor_space", 0, true, true, false},
    {pb::RESET, "reset", 0, true, true, true},
    {pb::TRANSFORM_SENSORS, "transform_sensors", 2, true, false, false},
    {pb::COMPUTE_ACTION_MASK, "compute_action_mask", 2, true, false, false},
    {pb::TRANSFORM_ACTION, "transform_action", 2, true, false, false},
    {pb::COMPUTE_REWARD, "compute_reward", 3, true, false, false},
    {pb::COMPUTE_SUCCESS_CRITERIA, "compute_success_criteria", 2, true, false, false},
    {pb::COMPUTE_TERMINATION, "compute_termination", 2, true, false, false},
    {pb::COMPUTE_ACTION, "compute_action", 2, false, true, false},
    {pb::COMPUTE_SENSORS, "compute_sensors", 1, false, false, true},
}};
}  // namespace

bool OperationInfo::belongs_to(ImplKind kind) const noexcept {
    switch (kind) {
        case ImplKind::teacher: return teacher;
        case ImplKind::controller: return controller;
        case ImplKind::perceptor: return perceptor;
        case ImplKind::simulator: return false;
    }
    return false;
}

const OperationInfo* operation_info(int operation) noexcept {
    for (const auto& info : kOperations)
        if (info.operation == operation) return &info;
    return nullptr;
}

std::string random_session_id() {
    std::random_device device;
    std::string id;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", static_cast<unsigned>(device()));
        id += part;
    }
    return id;
}

pb::ManagerKind wire_manager(tarvik_core::RemoteManagerKind kind) noexcept {
    switch (kind) {
        case tarvik_core::RemoteManagerKind::agent: return pb::MANAGER_AGENT;
        case tarvik_core::RemoteManagerKind::perceptor: return pb::MANAGER_PERCEPTOR;
        case tarvik_core::RemoteManagerKind::controller: return pb::MANAGER_CONTROLLER;
        default: return pb::MANAGER_UNSPECIFIED;
    }
}

bool served_kind(int manager, ImplKind& kind) noexcept {
    switch (manager) {
        case pb::MANAGER_AGENT: kind = ImplKind::teacher; return true;
        case pb::MANAGER_PERCEPTOR: kind = ImplKind::perceptor; return true;
        case pb::MANAGER_CONTROLLER: kind = ImplKind::controller; return true;
        default: return false;
    }
}

}  // namespace tarvik_remote
