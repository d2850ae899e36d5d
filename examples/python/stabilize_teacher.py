"""The stabilising skill's teacher, in Python.

The skill's model was made for two readings, sin(theta) and the angular
speed, so its teacher shows it only those. orchestration.json names this
module under "imports", so the runtime imports it while loading the file.
"""

import tarvik


@tarvik.teacher("python_stabilize_teacher")
class StabilizeTeacher(tarvik.Teacher):
    def filtered_sensor_space(self):
        return ["sin_theta", "theta_dot"]

    def transform_action(self, obs, action):
        # The model's torque, already mapped onto [-2, 2] by the runtime.
        return action
