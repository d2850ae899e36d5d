// A plugin library for the tests: registers "drive_teacher", a name that
// test_plugin registers too, so loading both must fail.
#include <memory>

#include "tarvik_core/implementations.hpp"

namespace {
class OtherDriveTeacher : public tarvik_core::Teacher {};
}  // namespace

extern "C" void tarvik_register(tarvik_core::Registry& registry) {
    registry.add_teacher("spare_teacher", [] { return std::make_shared<OtherDriveTeacher>(); });
    registry.add_teacher("drive_teacher", [] { return std::make_shared<OtherDriveTeacher>(); });
}
