// Failures across the wire.
#include "failures.hpp"

#include <sstream>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/modules.hpp"
#include "tarvik_remote.pb.h"

namespace tarvik_remote {

void capture_failure(const std::exception_ptr& error, tarvik::remote::v1::Failure& out) {
    try {
        std::rethrow_exception(error);
    } catch (const tarvik_core::Error& e) {
        out.set_kind(e.kind());
        out.set_message(e.what());
    } catch (const std::exception& e) {
        out.set_kind("Exception");
        out.set_message(e.what());
    } catch (...) {
        out.set_kind("Exception");
        out.set_message("an unknown error");
    }
}

namespace {
template <class Kind>
[[noreturn]] void raise_as(const std::string& message) {
    throw Kind(message);
}
}  // namespace

void raise_failure(const tarvik::remote::v1::Failure& failure) {
    using namespace tarvik_core;
    const std::string& kind = failure.kind();
    const std::string& message = failure.message();
    if (kind == "RuntimeError") raise_as<RuntimeError>(message);
    if (kind == "ValueError") raise_as<ValueError>(message);
    if (kind == "TypeError") raise_as<TypeError>(message);
    if (kind == "KeyError") raise_as<KeyError>(message);
    if (kind == "IndexError") raise_as<IndexError>(message);
    if (kind == "AttributeError") raise_as<AttributeError>(message);
    if (kind == "OverflowError") raise_as<OverflowError>(message);
    if (kind == "NotImplementedError") raise_as<NotImplementedError>(message);
    if (kind == "FileNotFoundError") raise_as<FileNotFoundError>(message);
    if (kind == "ImportError") raise_as<ImportError>(message);
    if (kind == "Exception") raise_as<Error>(message);
    raise_as<RuntimeError>(kind + ": " + message);
}

const char* status_code_name(grpc::StatusCode code) noexcept {
    switch (code) {
        case grpc::StatusCode::OK: return "OK";
        case grpc::StatusCode::CANCELLED: return "CANCELLED";
        case grpc::StatusCode::UNKNOWN: return "UNKNOWN";
        case grpc::StatusCode::INVALID_ARGUMENT: return "INVALID_ARGUMENT";
        case grpc::StatusCode::DEADLINE_EXCEEDED: return "DEADLINE_EXCEEDED";
        case grpc::StatusCode::NOT_FOUND: return "NOT_FOUND";
        case grpc::StatusCode::ALREADY_EXISTS: return "ALREADY_EXISTS";
        case grpc::StatusCode::PERMISSION_DENIED: return "PERMISSION_DENIED";
        case grpc::StatusCode::RESOURCE_EXHAUSTED: return "RESOURCE_EXHAUSTED";
        case grpc::StatusCode::FAILED_PRECONDITION: return "FAILED_PRECONDITION";
        case grpc::StatusCode::ABORTED: return "ABORTED";
        case grpc::StatusCode::OUT_OF_RANGE: return "OUT_OF_RANGE";
        case grpc::StatusCode::UNIMPLEMENTED: return "UNIMPLEMENTED";
        case grpc::StatusCode::INTERNAL: return "INTERNAL";
        case grpc::StatusCode::UNAVAILABLE: return "UNAVAILABLE";
        case grpc::StatusCode::DATA_LOSS: return "DATA_LOSS";
        case grpc::StatusCode::UNAUTHENTICATED: return "UNAUTHENTICATED";
        default: return "UNKNOWN";
    }
}

void raise_transport_failure(const grpc::Status& status, const std::string& call, const std::string& address,
                             double timeout) {
    std::ostringstream text;
    text << call << " at " << address;
    switch (status.error_code()) {
        case grpc::StatusCode::DEADLINE_EXCEEDED:
            text << " got no answer within " << timeout << " s";
            break;
        case grpc::StatusCode::UNAVAILABLE: text << " failed: the host cannot be reached"; break;
        case grpc::StatusCode::NOT_FOUND: text << " is gone"; break;
        case grpc::StatusCode::RESOURCE_EXHAUSTED:
        case grpc::StatusCode::INVALID_ARGUMENT: text << " was refused"; break;
        default: text << " failed"; break;
    }
    text << " (" << status_code_name(status.error_code());
    if (!status.error_message().empty()) text << ": " << status.error_message();
    text << ")";
    throw tarvik_core::RuntimeError(text.str());
}

}  // namespace tarvik_remote
