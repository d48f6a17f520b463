# Sound output: the device logic and the renderer over a scripted device, and
# the real back ends against the wall clock (the only timed checks, labelled
# "realtime").
zarvel_test(audio_tests unit audio/dx_sound_test.cpp)
zarvel_test(audio_thread_tests threads audio/audio_renderer_test.cpp)
zarvel_test(audio_realtime_tests realtime audio/realtime_test.cpp)
