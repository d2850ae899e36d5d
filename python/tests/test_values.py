"""Values across the boundary: kinds, order, arrays without copies, and the
errors for what cannot cross."""

import numpy as np
import pytest

from tarvik import _tarvik


@pytest.mark.parametrize("value", [
    None, True, False, 0, -7, 2**62, 0.25, float("inf"), "text", "ünï",
    [1, 2.5, None], (1, (2, 3)), (), [],
    {"b": 1, "a": [True], "c": {"z": 0, "y": (1,)}},
])
def test_plain_values_round_trip_with_their_kinds_and_mapping_order(value):
    back = _tarvik.roundtrip(value)
    assert back == value
    assert type(back) is type(value)
    if isinstance(value, dict):
        assert list(back) == list(value) and list(back["c"]) == list(value["c"])


def test_arrays_of_the_runtime_types_cross_without_copies():
    for dtype in [np.bool_, np.int8, np.uint8, np.int32, np.int64, np.float32, np.float64]:
        array = np.arange(6).astype(dtype).reshape(2, 3)
        assert _tarvik.roundtrip(array) is array, dtype
        readings = {"x": array}
        assert _tarvik.roundtrip_readings(readings)["x"] is array


@pytest.mark.parametrize("array, dtype", [
    (np.arange(4, dtype=np.int16), np.int32),
    (np.arange(4, dtype=np.uint16), np.int32),
    (np.arange(4, dtype=np.uint32), np.int64),
    (np.arange(4, dtype=np.uint64), np.int64),
    (np.arange(4, dtype=np.float16), np.float32),
    (np.arange(8, dtype=np.float64)[::2], np.float64),          # strided
    (np.arange(6, dtype=np.float32).reshape(2, 3).T, np.float32),  # Fortran order
    (np.arange(4, dtype=">f8"), np.float64),                     # byte-swapped
])
def test_other_arrays_convert_when_nothing_is_lost(array, dtype):
    back = _tarvik.roundtrip(array)
    assert back.dtype == dtype and back.flags.c_contiguous
    np.testing.assert_array_equal(back, array)


def test_arrays_made_by_the_runtime_reach_python_as_read_only_views():
    source = {"x": np.arange(6.0).reshape(2, 3)}
    back = _tarvik.roundtrip_copied(source)["x"]
    np.testing.assert_array_equal(back, source["x"])
    assert back is not source["x"] and not back.flags.writeable and not back.flags.owndata
    with pytest.raises(ValueError):
        back[0, 0] = 1.0
    del source
    assert back.sum() == 15.0  # the view keeps the runtime's buffer alive


def test_numpy_scalars_count_as_numbers():
    back = _tarvik.roundtrip([np.float32(0.5), np.int16(-3), np.bool_(True), np.uint64(2**63 - 1)])
    assert back == [0.5, -3, True, 2**63 - 1]
    assert [type(v) for v in back] == [float, int, bool, int]


@pytest.mark.parametrize("readings, kind, message", [
    ({"theta": np.zeros(2, dtype=np.complex128)}, TypeError,
     "sensor 'theta': numpy arrays of dtype complex128 cannot be converted without loss "
     "(use bool, integer or floating-point arrays)"),
    ({"theta": np.array([2**63], dtype=np.uint64)}, TypeError,
     "sensor 'theta': a uint64 array holds 9223372036854775808, which does not fit in int64"),
    ({"theta": [1, {2}]}, TypeError,
     "sensor 'theta'[1]: expected a number, a string, a list, a tuple, a dict, a numpy array or None, got set"),
    ({"theta": {"a": {3: 1}}}, TypeError, "sensor 'theta'['a']: mapping keys must be strings, got int 3"),
    ({"theta": 2**64}, OverflowError, "sensor 'theta': integer 18446744073709551616 does not fit in 64 bits"),
    (np.array(["a"]), TypeError,
     "readings: numpy arrays of dtype <U1 cannot be converted without loss (use bool, integer or floating-point arrays)"),
])
def test_what_cannot_cross_is_an_error_naming_the_sensor(readings, kind, message):
    with pytest.raises(kind) as raised:
        _tarvik.roundtrip_readings(readings)
    assert raised.value.args[0] == message


def test_arrays_of_up_to_32_dimensions_cross():
    # numpy 1.x stops at 32 dimensions, the runtime's own limit; numpy 2
    # goes further, and the runtime refuses what it cannot hold.
    deep = np.arange(2.0).reshape((1,) * 31 + (2,))
    assert np.array_equal(_tarvik.roundtrip_readings({"theta": deep})["theta"], deep)
    if np.lib.NumpyVersion(np.__version__) >= "2.0.0":
        with pytest.raises(ValueError, match=r"^sensor 'theta': arrays have at most 32 dimensions, got 33$"):
            _tarvik.roundtrip_readings({"theta": np.zeros((1,) * 33)})
