// Assertions on failures: the exact kind and the exact message, never just
// "it threw".
//
//   expect_error<ValueError>([&] { parse(text); }, "<file>: $.id: expected a string, got number");
//   expect_error([&] { make(); }, "Exception", "Unable to make ...");   // kind as the error names it
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>

#include <gtest/gtest.h>

#include "tarvik_core/errors.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_test {

// `call` must throw an E (or a subclass of E) whose message is `message`.
template <class E, class F>
void expect_error(F&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error; expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "another kind of error (" << tarvik_core::class_name_of(typeid(e)) << "): " << e.what();
    }
}

// `call` must throw an error of exactly this kind ("ValueError", "Exception",
// ...) with this message.
template <class F>
void expect_error(F&& call, std::string_view kind, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error; expected " << kind << ": " << message;
    } catch (const tarvik_core::Error& e) {
        EXPECT_EQ(std::string_view(e.kind()), kind);
        EXPECT_EQ(std::string(e.what()), message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not one of the runtime's errors (" << tarvik_core::class_name_of(typeid(e)) << "): " << e.what();
    }
}

}  // namespace tarvik_test
