#include "tarvik_core/errors.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace tarvik_core {

bool is_ordinary_error(const std::exception_ptr& error) noexcept {
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const Cancelled&) {
        return false;
    } catch (const Interrupted&) {
        return false;
    } catch (const boost::system::system_error& e) {
        return e.code() != boost::asio::error::operation_aborted;
    } catch (...) {
        return true;
    }
}

std::string error_text(const std::exception_ptr& error) {
    if (!error) return "";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace tarvik_core
