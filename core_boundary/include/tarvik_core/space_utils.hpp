// Space utilities: from raw readings to sensor values, filtering, masks and
// action unsquashing.
//
// Raw readings of one step are a name-keyed mapping or a flat numeric vector
// (an NdArray or a list of numbers); see sensors.hpp for how each sensor finds
// its value. Perceptors run after the raw sensors are read, in order, each
// seeing the sensors known so far; their results fill the derived sensors.
//
// Errors: a reading that is missing is a KeyError naming the sensor; one that
// does not fit its sensor's space is a ValueError naming the sensor; masks of
// different lengths are a ValueError giving both lengths.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tarvik_core/async.hpp"
#include "tarvik_core/implementations.hpp"
#include "tarvik_core/ndarray.hpp"
#include "tarvik_core/orchestration.hpp"
#include "tarvik_core/sensors.hpp"
#include "tarvik_core/spaces.hpp"
#include "tarvik_core/value.hpp"

namespace tarvik_core {

using PerceptorList = std::vector<std::shared_ptr<Perceptor>>;
// Processors of an agent group (not used by the processors of this runtime).
using AgentGroupProcessors = std::vector<std::shared_ptr<Object>>;

namespace space_utils {

// The full sensor space: a Dict space of every sensor, in sensor order.
Task<spaces::SpacePtr> get_tarvik_space_info(spaces::SpacePtr sim_sensor_space, const SensorList& sensors,
                                            const PerceptorList& perceptors,
                                            const AgentGroupProcessors& agent_group_agent_processors);

// `space` (a Dict space) restricted to `filter_keys`, in the order of
// `filter_keys`. KeyError naming a key the space lacks.
spaces::SpacePtr filter_space(const spaces::SpacePtr& space, const std::vector<std::string>& filter_keys);

// Raw readings to a mapping sensor name -> value, in sensor order.
Task<Value> convert_sim_sensors_to_tarvik_sensors(const Value& sensors, spaces::SpacePtr sim_sensor_space,
                                                  const SensorList& orchestration_sensors,
                                                  const PerceptorList& perceptors,
                                                  const AgentGroupProcessors& agent_group_agent_processors);
// The same conversion with no perceptors, which awaits nothing: callers that
// have no perceptors use it to skip a coroutine per step.
Value convert_sim_sensors_without_perceptors(const Value& sensors, const spaces::SpacePtr& sim_sensor_space,
                                             const SensorList& orchestration_sensors);

// The mapping restricted to `filter_keys`, in their order; keys the sample
// lacks are left out. None for a None sample; TypeError for a non-mapping.
Value filter_sample(const Value& sample, const std::vector<std::string>& filter_keys);

// Elementwise AND of two one-dimensional int8 masks of equal length (1 where
// both are nonzero), as a new int8 array.
NdArray combine_masks(const NdArray& a, const NdArray& b);

// An action with its Box parts mapped from [-1, 1] to [low, high] (clipped to
// the bounds, in the Box's dtype), recursively through Tuple and Dict spaces.
// Parts of other kinds, and Boxes with an infinite bound, are unchanged.
Value unsquash_action(const Value& action, const spaces::SpacePtr& action_space);

// A mask over an orchestrator's children: int8 ones, one per child.
NdArray compute_orchestrator_action_mask(const GraphNode& agent, const Value& previous_action);

// The values as a one-dimensional array (a view when already contiguous).
NdArray make_np_array(const NdArray& array);
NdArray make_np_array(const Value& value);

}  // namespace space_utils
}  // namespace tarvik_core
