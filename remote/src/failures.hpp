// Errors across the wire: the failure an implementation or a step raised
// travels as its kind and message and is raised again, kind for kind, on the
// other side; a call that fails in the transport itself becomes one
// RuntimeError naming the call and the address.
#pragma once

#include <exception>
#include <string>

#include <grpcpp/support/status.h>

namespace tarvik::remote::v1 {
class Failure;
}

namespace tarvik_remote {

// Records the failure `error` as the message's failure.
void capture_failure(const std::exception_ptr& error, tarvik::remote::v1::Failure& out);

// Raises the failure again as the runtime error of that kind; a kind the
// runtime does not have (one from another language) is a RuntimeError whose
// message starts with that kind's name.
[[noreturn]] void raise_failure(const tarvik::remote::v1::Failure& failure);

// Raises the RuntimeError for a call that did not get through:
// "<call> at <address> <what happened>: <CODE>: <details>". `timeout` is the
// call's deadline in seconds, quoted when it ran out.
[[noreturn]] void raise_transport_failure(const grpc::Status& status, const std::string& call,
                                          const std::string& address, double timeout);

// "DEADLINE_EXCEEDED", "UNAVAILABLE", ...
const char* status_code_name(grpc::StatusCode code) noexcept;

}  // namespace tarvik_remote
