// A minimal host: loads an orchestration, packages its top agent, runs a few
// steps (each action fed back as the previous one), prints the actions, closes.
//   tarvik-host-example ORCHESTRATION [--steps=N] [SENSOR=V[,V...] ...]
// Sensors not given read zeros of their size. A value with a comma is a list
// ("position=0.5,-1", "speed=2,"); one without is a number ("battery=3").
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include "tarvik_inference/runvane.hpp"

namespace {
using tarvik_core::Dict;
using tarvik_core::List;
using tarvik_core::Value;

Value parse_number(const std::string& text) {
    char* end = nullptr;
    const long long whole = std::strtoll(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0') return Value(whole);
    const double real = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0') return Value(real);
    throw std::invalid_argument("not a number: '" + text + "'");
}

Value parse_reading(const std::string& text) {
    if (text.find(',') == std::string::npos) return parse_number(text);
    List values;
    for (std::size_t start = 0, comma; start < text.size(); start = comma + 1) {
        comma = std::min(text.find(',', start), text.size());
        values.push_back(parse_number(text.substr(start, comma - start)));
    }
    return values;
}

// Zeros for each sensor read by name: an int (Discrete) or a list of its size.
Dict zero_readings(const tarvik_core::Orchestration& orchestration) {
    Dict readings;
    for (const auto& sensor : orchestration.sensors) {
        if (sensor->source.kind != tarvik_core::SensorSource::Kind::key) continue;
        List zeros;
        for (std::int64_t i = 0; i < tarvik_core::raw_reading_size(*sensor->space); ++i) zeros.push_back(0.0);
        readings.set(sensor->source.key, sensor->space->class_name() == "Discrete" ? Value(0) : Value(zeros));
    }
    return readings;
}

tarvik_core::Task<void> run(tarvik_inference::Runvane& runvane, std::string file, int steps, Dict given) {
    co_await runvane.load_orchestration(file);
    co_await runvane.package();
    Dict readings = zero_readings(*runvane.orchestration);
    for (const auto& [name, value] : given) readings.set(name, value);
    Value action;
    for (int step = 1; step <= steps; ++step) {
        tarvik_inference::RunvaneExecuteArgs args{.previous_action = action};  // named: see runvane.hpp
        action = co_await runvane.execute(readings, std::move(args));
        std::cout << "step " << step << ": " << tarvik_core::repr(action) << std::endl;
    }
    co_await runvane.close();
}
}  // namespace

int main(int argc, char** argv) {
    int steps = 3;
    Dict readings;
    try {
        if (argc < 2) throw std::invalid_argument("missing the orchestration file");
        for (int i = 2; i < argc; ++i) {
            const std::string arg = argv[i];
            const auto equals = arg.find('=');
            if (equals == std::string::npos) throw std::invalid_argument("expected SENSOR=VALUES, got " + arg);
            Value value = parse_reading(arg.substr(equals + 1));
            if (arg.rfind("--steps=", 0) == 0) steps = static_cast<int>(value.as_int());
            else readings.set(arg.substr(0, equals), value);
        }
    } catch (const std::exception& e) {
        std::cerr << "usage: " << argv[0] << " ORCHESTRATION [--steps=N] [SENSOR=V[,V...] ...]\n" << e.what() << '\n';
        return 2;
    }
    boost::asio::io_context io;
    tarvik_inference::Runvane runvane;
    int status = 0;
    boost::asio::co_spawn(io, run(runvane, argv[1], steps, readings), [&status](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            std::cerr << "error: " << e.what() << '\n';
            status = 1;
        }
    });
    io.run();
    return status;
}
