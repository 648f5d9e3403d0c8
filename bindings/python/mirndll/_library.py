"""Made from include/MirnDLL.h and host/binding/sound_durations.h by
cmake/LibraryValues.cmake (`cmake --build build --target mirn_python_values`):
the library's numbers and how long a host waits past a play's sound."""
RECORDING_RATE = 8000
STORE_BYTES = 1600000
TONE_SCALE = 11025
MAX_PATH_BYTES = 99
NO_OUTPUT = 33
FILE_FAILED = -1
DEVICE_LATENCY = 0.3
