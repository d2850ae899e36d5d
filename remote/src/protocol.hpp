// What the implementation host's operations are: their wire names, the
// implementation kinds that have them and how many arguments they take.
// Client and host read the same table, so they can never disagree.
#pragma once

#include <string>
#include <string_view>

#include "tarvik_core/implementations.hpp"
#include "tarvik_core/network.hpp"
#include "tarvik_remote.pb.h"

namespace tarvik_remote {

namespace pb = tarvik::remote::v1;

struct OperationInfo {
    pb::Operation operation;
    std::string_view name;  // "compute_sensors"
    int arity;
    bool teacher, controller, perceptor;  // the kinds that have it

    bool belongs_to(tarvik_core::ImplKind kind) const noexcept;
};

// The operation's row, or null for an operation the table does not know.
const OperationInfo* operation_info(int operation) noexcept;

// A fresh session id: 128 random bits in hex.
std::string random_session_id();

// The manager of a kind on the wire; the simulator has none.
pb::ManagerKind wire_manager(tarvik_core::RemoteManagerKind kind) noexcept;
// The implementation kind a wire manager serves; false for unknown values.
bool served_kind(int manager, tarvik_core::ImplKind& kind) noexcept;

}  // namespace tarvik_remote
